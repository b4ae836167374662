#include "Support/Failures.h"
#include "Support/SimulatedSystemTest.h"
#include "Support/StereoReader.h"
#include "VLMCaptureIOProc.h"
#include "VLMMicrophoneCapture.h"

#include <gmock/gmock.h>

using testing::ElementsAre;

namespace {

class VLMMicrophoneCaptureTest : public SimulatedSystemTest {
protected:
    std::string id(AudioObjectID object) { return std::to_string(object); }

    RingBufferHolder ringBuffer;
    AudioObjectID mic = system->addDevice(
        SimulatedDeviceDescription::microphone("mic", "Mic", 1, 16000, SimulatedSignals::constant(0.5f)));
};

TEST_F(VLMMicrophoneCaptureTest, CapturesTheMicrophoneIntoTheRingBuffer)
{
    VLMMicrophoneCapture capture(ringBuffer.get());
    EXPECT_EQ(capture.start(mic), 16000.0);
    EXPECT_TRUE(capture.isRunning());
    EXPECT_EQ(system->runningIOProcCount(mic), 1u);

    system->advance(0.1);
    const StereoFrames frames = readStereo(ringBuffer.get(), 512);
    EXPECT_THAT(std::vector(frames.left.begin(), frames.left.begin() + 2), ElementsAre(0.5f, 0.5f));
    EXPECT_EQ(frames.right[511], 0.5f) << "mono lands on both sides";
}

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

TEST_F(VLMMicrophoneCaptureTest, ADeviceWithoutInputStreamsIsUnavailable)
{
    const AudioObjectID speakers = system->addDevice(SimulatedDeviceDescription::output("out", "Speakers"));
    VLMMicrophoneCapture capture(ringBuffer.get());
    EXPECT_EQ(audioErrorOf([&] { capture.start(speakers); }), "The selected microphone is no longer available.");
    EXPECT_FALSE(capture.isRunning());
    EXPECT_EQ(system->ioProcCountOnAllDevices(), 0u);
}

TEST_F(VLMMicrophoneCaptureTest, EveryFailingStepThrowsItsContextAndLeavesNothingRegistered)
{
    struct Case {
        SimulatedFault fault;
        const char* message;
    };
    const Case cases[] = {
        {{SimulatedCall::getPropertyData, mic, kAudioDevicePropertyNominalSampleRate, -10},
         "Reading the microphone sample rate failed (-10)."},
        {{SimulatedCall::createIOProc, mic, std::nullopt, kAudioHardwareBadDeviceError},
         "Preparing microphone capture failed (\"!dev\")."},
        {{SimulatedCall::createIOProc, mic, std::nullopt, 0, true}, "Preparing microphone capture failed (0)."},
        {{SimulatedCall::getPropertyDataSize, mic, kAudioDevicePropertyStreams, -11},
         "Reading microphone streams failed (-11)."},
        {{SimulatedCall::setPropertyData, mic, kAudioDevicePropertyIOProcStreamUsage, -12},
         "Enabling microphone streams failed (-12)."},
        {{SimulatedCall::startDevice, mic, std::nullopt, kAudioDevicePermissionsError},
         "Starting microphone capture failed (\"!hog\")."},
    };
    for (const Case& c : cases) {
        system->clearFaults();
        system->injectFault(c.fault);
        VLMMicrophoneCapture capture(ringBuffer.get());
        EXPECT_EQ(audioErrorOf([&] { capture.start(mic); }), c.message);
        EXPECT_FALSE(capture.isRunning()) << c.message;
        EXPECT_EQ(system->ioProcCountOnAllDevices(), 0u) << c.message;
    }
}

TEST_F(VLMMicrophoneCaptureTest, AFailedStartStopsThenDestroysItsIOProc)
{
    system->injectFault({SimulatedCall::startDevice, mic, std::nullopt, -1});
    VLMMicrophoneCapture capture(ringBuffer.get());
    EXPECT_NE(audioErrorOf([&] { capture.start(mic); }), "no error");
    EXPECT_THAT(system->journalDescriptions(),
                ElementsAre("AudioObjectGetPropertyData(" + id(mic) + ", 'nsrt')",
                            "AudioDeviceCreateIOProcIDWithBlock(" + id(mic) + ")",
                            "AudioObjectGetPropertyDataSize(" + id(mic) + ", 'stm#')",
                            "AudioObjectSetPropertyData(" + id(mic) + ", 'suse')",
                            "AudioDeviceStart(" + id(mic) + ") -> -1", "AudioDeviceStop(" + id(mic) + ")",
                            "AudioDeviceDestroyIOProcID(" + id(mic) + ")"));
}

TEST_F(VLMMicrophoneCaptureTest, StartingAgainMovesTheOneIOProcToTheNewDevice)
{
    const AudioObjectID other = system->addDevice(SimulatedDeviceDescription::microphone("other", "Other"));
    VLMMicrophoneCapture capture(ringBuffer.get());
    capture.start(mic);
    EXPECT_EQ(capture.start(other), 48000.0);
    EXPECT_EQ(system->ioProcCount(mic), 0u);
    EXPECT_EQ(system->ioProcCount(other), 1u);
}

TEST_F(VLMMicrophoneCaptureTest, DestructionStopsARunningCaptureAndAnIdleOneCallsNothing)
{
    { VLMMicrophoneCapture idle(ringBuffer.get()); }
    EXPECT_TRUE(system->journal().empty());
    {
        VLMMicrophoneCapture capture(ringBuffer.get());
        capture.start(mic);
    }
    EXPECT_EQ(system->ioProcCountOnAllDevices(), 0u);
    EXPECT_THAT(calls(SimulatedCall::stopDevice), ElementsAre("AudioDeviceStop(" + id(mic) + ")"));
}

// The frame count of a capture list.
struct Buffers {
    explicit Buffers(std::vector<AudioBuffer> b) : buffers(std::move(b)) {}
    std::vector<AudioBuffer> buffers;
    std::vector<unsigned char> storage;
    const AudioBufferList* list()
    {
        storage.assign(AudioBufferListSize(std::uint32_t(buffers.size())), 0);
        auto* l = reinterpret_cast<AudioBufferList*>(storage.data());
        l->mNumberBuffers = std::uint32_t(buffers.size());
        for (std::size_t i = 0; i < buffers.size(); ++i)
            l->mBuffers[i] = buffers[i];
        return l;
    }
};

TEST(VLMCaptureFrameCount, ComesFromTheBuffersWithoutReadingPastAny)
{
    float data[64] = {};
    EXPECT_EQ(VLMCaptureFrameCount(Buffers({{1, 256, data}}).list()), 64u) << "mono: bytes / 4";
    EXPECT_EQ(VLMCaptureFrameCount(Buffers({{2, 256, data}}).list()), 32u) << "interleaved stereo: bytes / 8";
    EXPECT_EQ(VLMCaptureFrameCount(Buffers({{0, 256, data}}).list()), 0u);
    EXPECT_EQ(VLMCaptureFrameCount(Buffers({}).list()), 0u) << "no buffers, no frames";
    EXPECT_EQ(VLMCaptureFrameCount(Buffers({{1, 256, data}, {1, 40, data}}).list()), 10u)
        << "a shorter second buffer bounds the count";
    EXPECT_EQ(VLMCaptureFrameCount(Buffers({{1, 256, data}, {1, 40, nullptr}}).list()), 64u)
        << "a buffer without data is never read";
    EXPECT_EQ(VLMCaptureFrameCount(Buffers({{0x40000000u, 256, data}}).list()), 0u)
        << "an absurd channel count does not divide by zero";
}

} // namespace
