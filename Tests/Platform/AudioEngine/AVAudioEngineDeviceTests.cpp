// The engine playing through an IOProc on the simulated audio system, on the
// manual clock: the device it plays into, and conversion to the device rate.

#include "EngineTestSupport.h"
#include "SimulatedAudioSystem.h"

#include <gtest/gtest.h>

using namespace enginetest;

namespace {

class EngineOnSimulatedDevice : public testing::Test {
protected:
    void SetUp() override
    {
        AudioHardwareInstallBackend(system);
        output = system->addDevice(SimulatedDeviceDescription::output("virtual", "Virtual", 48000.0));
        system->setDefaultOutputDevice(output);
    }
    void TearDown() override
    {
        engine.reset();
        AudioHardwareInstallBackend(nullptr);
    }

    void playConstant(std::vector<float> values, double rate = 48000.0)
    {
        auto source = std::make_shared<AVAudioSourceNode>(format(rate, 2), constantBlock(std::move(values)));
        engine->attach(source);
        engine->connect(source, engine->mainMixerNode(), nullptr);
    }

    std::shared_ptr<SimulatedAudioSystem> system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::manual);
    AudioObjectID output = 0;
    std::unique_ptr<AVAudioEngine> engine = std::make_unique<AVAudioEngine>();
};

} // namespace

TEST_F(EngineOnSimulatedDevice, CurrentDevicePropertyChoosesTheDevice)
{
    const AudioObjectID other = system->addDevice(SimulatedDeviceDescription::output("other", "Other", 48000.0));
    playConstant({0.5f});
    AudioUnit unit = engine->outputNode()->audioUnit();
    ASSERT_NE(unit, nullptr);
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &other,
                                   sizeof other),
              0);
    AudioObjectID current = 0;
    std::uint32_t size = sizeof current;
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &current,
                                   &size),
              0);
    EXPECT_EQ(current, other);

    engine->start();
    system->advance(0.05);
    EXPECT_EQ(system->runningIOProcCount(output), 0u);
    EXPECT_FALSE(system->recordedOutput(other).empty());
    EXPECT_EQ(system->recordedOutput(other)[0], 0.5f);
}

TEST_F(EngineOnSimulatedDevice, ConvertsWhenTheDeviceRunsAtAnotherRate)
{
    const AudioObjectID slow = system->addDevice(SimulatedDeviceDescription::output("slow", "Slow", 44100.0));
    auto source = std::make_shared<AVAudioSourceNode>(format(48000, 2), sineBlock(1000.0, 0.5f, 48000.0));
    engine->attach(source);
    engine->connect(source, engine->mainMixerNode(), nullptr);
    engine->connect(engine->mainMixerNode(), engine->outputNode(), format(48000, 2));
    AudioUnitSetProperty(engine->outputNode()->audioUnit(), kAudioOutputUnitProperty_CurrentDevice,
                         kAudioUnitScope_Global, 0, &slow, sizeof slow);
    engine->start();
    system->advance(1.0);
    const auto left = channel(system->recordedOutput(slow), 2, 0);
    ASSERT_GE(left.size(), 40000u);
    const std::vector<float> settled(left.begin() + 2048, left.end());
    EXPECT_NEAR(toneAmplitude(settled, 44100.0, 1000.0), 0.5, 0.005);
    EXPECT_LT(residualDecibels(settled, 44100.0, 1000.0), -90.0);
}

