#include "Support/SimulatedSystemTest.h"
#include "Support/BufferLists.h"
#include "Support/StereoReader.h"
#include "VLMCaptureIOProc.h"
#include "VLMMicrophoneCapture.h"

#include <gmock/gmock.h>

using testing::ElementsAre;

namespace {

class VLMMicrophoneCaptureTest : public SimulatedSystemTest {
protected:
    RingBufferHolder ringBuffer;
    AudioObjectID mic = system->addDevice(
        SimulatedDeviceDescription::microphone("mic", "Mic", 1, 16000, SimulatedSignals::constant(0.5f)));
};

TEST_F(VLMMicrophoneCaptureTest, SwitchesEveryInputStreamOnForItsIOProc)
{
    auto description = SimulatedDeviceDescription::microphone("multi", "Multi");
    description.inputStreamChannels = {1, 2, 2};
    const AudioObjectID multi = system->addDevice(description);
    VLMMicrophoneCapture capture(ringBuffer.get());
    capture.start(multi);

    const auto journal = system->journal();
    auto usage = std::find_if(journal.begin(), journal.end(), [](auto& e) {
        return e.call == SimulatedCall::setPropertyData && e.selector == kAudioDevicePropertyIOProcStreamUsage;
    });
    ASSERT_NE(usage, journal.end());
    EXPECT_EQ(usage->status, 0);
    ASSERT_EQ(system->ioProcCount(multi), 1u);
}

// The frame count of a capture list.
std::uint32_t framesOf(const std::vector<AudioBuffer>& buffers)
{
    return VLMCaptureFrameCount(BufferList(buffers).get());
}

TEST(VLMCaptureFrameCount, ComesFromTheBuffersWithoutReadingPastAny)
{
    float data[64] = {};
    EXPECT_EQ(framesOf({{1, 256, data}}), 64u) << "mono: bytes / 4";
    EXPECT_EQ(framesOf({{2, 256, data}}), 32u) << "interleaved stereo: bytes / 8";
    EXPECT_EQ(framesOf({{0, 256, data}}), 0u);
    EXPECT_EQ(framesOf({}), 0u) << "no buffers, no frames";
    EXPECT_EQ(framesOf({{1, 256, data}, {1, 40, data}}), 10u) << "a shorter second buffer bounds the count";
    EXPECT_EQ(framesOf({{1, 256, data}, {1, 40, nullptr}}), 64u) << "a buffer without data is never read";
    EXPECT_EQ(framesOf({{0x40000000u, 256, data}}), 0u)
        << "an absurd channel count does not divide by zero";
}

} // namespace
