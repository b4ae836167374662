#include "Support/Failures.h"
#include "Support/SimulatedSystemTest.h"
#include "Support/StereoReader.h"
#include "VLMProcessTap.h"

#include <gmock/gmock.h>

using testing::ElementsAre;

namespace {

class VLMProcessTapTest : public SimulatedSystemTest {
protected:
    // The journal without property reads: what was created and destroyed.
    std::vector<std::string> lifecycle() const
    {
        std::vector<std::string> lines;
        for (const auto& entry : system->journal()) {
            if (entry.call == SimulatedCall::getPropertyData)
                continue;
            std::string line = SimulatedCallName(entry.call);
            if (entry.status)
                line += " failed";
            lines.push_back(line);
        }
        return lines;
    }

    void expectIdle() const
    {
        EXPECT_EQ(system->processTapCount(), 0u);
        EXPECT_EQ(system->aggregateDeviceCount(), 0u);
        EXPECT_EQ(system->ioProcCountOnAllDevices(), 0u);
    }

    RingBufferHolder ringBuffer;
};

TEST_F(VLMProcessTapTest, CapturesBothApplicationsUnmutedThroughAPrivateDevice)
{
    system->addApplication(VLMProcessTap::velmoraBundleID, SimulatedSignals::constant(0.125f));
    system->addApplication(VLMProcessTap::musicBundleID, SimulatedSignals::constant(0.25f));
    system->addApplication("com.example.game", SimulatedSignals::constant(1.0f));
    VLMProcessTap tap(ringBuffer.get());
    EXPECT_EQ(tap.start(), 48000.0);

    const CATapDescription description = *system->lastTapDescription();
    EXPECT_EQ(description.name(), "Velmora Studio and Music");
    EXPECT_THAT(description.bundleIDs(), ElementsAre("com.tarnwick.velmora", "com.apple.Music"));
    EXPECT_TRUE(description.processes().empty());
    EXPECT_TRUE(description.isProcessRestoreEnabled());
    EXPECT_TRUE(description.isPrivate());
    EXPECT_EQ(description.muteBehavior(), CATapUnmuted);

    const CFDictionary aggregate = *system->lastAggregateDeviceDescription();
    EXPECT_EQ(*aggregate.at("name").string(), "Velmora Studio Connect Capture");
    EXPECT_EQ(*aggregate.at("uid").string(), "com.tarnwick.VelmoraStudioConnect.Capture");
    EXPECT_TRUE(*aggregate.at("private").boolean());
    EXPECT_FALSE(*aggregate.at("tapautostart").boolean());
    EXPECT_EQ(aggregate.size(), 5u) << "no sub-devices, no clock device";
    const CFArray& taps = *aggregate.at("taps").array();
    ASSERT_EQ(taps.size(), 1u);
    EXPECT_EQ(*taps[0].dictionary()->at("uid").string(), "SimulatedProcessTap-" + std::to_string(100));
    EXPECT_TRUE(*taps[0].dictionary()->at("drift").boolean());

    system->advance(0.05);
    const StereoFrames frames = readStereo(ringBuffer.get(), 256);
    EXPECT_EQ(frames.left[0], 0.375f);
    EXPECT_EQ(frames.right[255], 0.375f);
}

TEST_F(VLMProcessTapTest, AFailedStartTearsDownInReverseOrder)
{
    system->injectFault({SimulatedCall::startDevice, std::nullopt, std::nullopt, -1});
    VLMProcessTap tap(ringBuffer.get());
    EXPECT_NE(audioErrorOf([&] { tap.start(); }), "no error");
    EXPECT_THAT(lifecycle(), ElementsAre("AudioHardwareCreateProcessTap", "AudioHardwareCreateAggregateDevice",
                                         "AudioDeviceCreateIOProcIDWithBlock", "AudioDeviceStart failed",
                                         "AudioDeviceStop", "AudioDeviceDestroyIOProcID",
                                         "AudioHardwareDestroyAggregateDevice", "AudioHardwareDestroyProcessTap"));
}

} // namespace
