// The engine playing through an IOProc on the simulated audio system, on the
// manual clock: device choice, what reaches the device, and failing starts.

#include "EngineTestSupport.h"
#include "SimulatedAudioSystem.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace enginetest;

namespace {

std::shared_ptr<AVAudioFormat> format(double rate, AVAudioChannelCount channels)
{
    return AVAudioFormat::standardFormatWithSampleRate(rate, channels);
}

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

    std::size_t journalCount(SimulatedCall call, AudioObjectID object) const
    {
        const auto journal = system->journal();
        return std::size_t(std::count_if(journal.begin(), journal.end(), [&](const SimulatedJournalEntry& e) {
            return e.call == call && e.object == object;
        }));
    }

    std::shared_ptr<SimulatedAudioSystem> system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::manual);
    AudioObjectID output = 0;
    std::unique_ptr<AVAudioEngine> engine = std::make_unique<AVAudioEngine>();
};

} // namespace

TEST_F(EngineOnSimulatedDevice, PlaysIntoTheDefaultOutputUntilStopped)
{
    playConstant({0.25f, -0.5f});
    engine->prepare();
    engine->start();
    EXPECT_EQ(system->runningIOProcCount(output), 1u);
    system->advance(0.1);

    const auto recorded = system->recordedOutput(output);
    ASSERT_GE(recorded.size(), 2u * 4096u);
    for (std::size_t i = 0; i < recorded.size(); i += 2) {
        ASSERT_EQ(recorded[i], 0.25f) << i;
        ASSERT_EQ(recorded[i + 1], -0.5f) << i;
    }

    engine->stop();
    EXPECT_EQ(system->ioProcCount(output), 0u);
    EXPECT_EQ(journalCount(SimulatedCall::stopDevice, output), 1u);
    EXPECT_EQ(journalCount(SimulatedCall::destroyIOProc, output), 1u);
    // Starting again works on the same graph.
    engine->start();
    EXPECT_EQ(system->runningIOProcCount(output), 1u);
}

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

TEST_F(EngineOnSimulatedDevice, CurrentDevicePropertyRefusesWhatCannotBeUsed)
{
    const AudioObjectID microphone = system->addDevice(SimulatedDeviceDescription::microphone("mic", "Mic"));
    AudioUnit unit = engine->outputNode()->audioUnit();
    const std::uint64_t wide = output;
    const AudioObjectID unknown = 4242;
    auto set = [&](AudioUnit u, AudioUnitScope scope, AudioUnitElement element, const void* data, std::uint32_t size) {
        return AudioUnitSetProperty(u, kAudioOutputUnitProperty_CurrentDevice, scope, element, data, size);
    };
    EXPECT_EQ(set(unit, kAudioUnitScope_Global, 0, &wide, sizeof wide), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(set(unit, kAudioUnitScope_Global, 0, nullptr, 4), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(set(unit, kAudioUnitScope_Output, 0, &output, 4), kAudioUnitErr_InvalidScope);
    EXPECT_EQ(set(unit, kAudioUnitScope_Global, 1, &output, 4), kAudioUnitErr_InvalidElement);
    EXPECT_EQ(set(nullptr, kAudioUnitScope_Global, 0, &output, 4), kAudio_ParamError);
    EXPECT_NE(set(unit, kAudioUnitScope_Global, 0, &unknown, 4), 0);
    EXPECT_EQ(set(unit, kAudioUnitScope_Global, 0, &microphone, 4), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(AudioUnitSetProperty(unit, 1234, kAudioUnitScope_Global, 0, &output, 4), kAudioUnitErr_InvalidProperty);

    playConstant({0.0f});
    engine->start();
    EXPECT_EQ(set(unit, kAudioUnitScope_Global, 0, &output, 4), kAudioUnitErr_CannotDoInCurrentContext);
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
    EXPECT_NEAR(toneAmplitude(settled, 1000.0, 44100.0), 0.5, 0.005);
    EXPECT_LT(residualDecibels(settled, 1000.0, 44100.0), -90.0);
}

// The program's graph on the device: music at 48 kHz, the microphone at
// 16 kHz through its own mixer, each with its gain, summed by the main mixer.
TEST_F(EngineOnSimulatedDevice, ProgramShapedGraphMixesBothSourcesAtTheirGains)
{
    const auto music = format(48000, 2), microphone = format(16000, 2);
    auto musicSource = std::make_shared<AVAudioSourceNode>(music, sineBlock(440.0, 1.0f, 48000.0));
    auto microphoneSource = std::make_shared<AVAudioSourceNode>(microphone, sineBlock(1000.0, 1.0f, 16000.0));
    auto musicMixer = std::make_shared<AVAudioMixerNode>();
    auto microphoneMixer = std::make_shared<AVAudioMixerNode>();
    for (const std::shared_ptr<AVAudioNode>& node :
         std::initializer_list<std::shared_ptr<AVAudioNode>>{musicSource, microphoneSource, musicMixer, microphoneMixer})
        engine->attach(node);
    engine->connect(musicSource, musicMixer, music);
    engine->connect(musicMixer, engine->mainMixerNode(), music);
    engine->connect(microphoneSource, microphoneMixer, microphone);
    engine->connect(microphoneMixer, engine->mainMixerNode(), nullptr);
    engine->connect(engine->mainMixerNode(), engine->outputNode(), music);
    musicMixer->setOutputVolume(0.5f);
    microphoneMixer->setOutputVolume(0.25f);
    engine->prepare();
    engine->start();
    system->advance(1.0);

    const auto right = channel(system->recordedOutput(output), 2, 1);
    ASSERT_GE(right.size(), 47000u);
    EXPECT_NEAR(toneAmplitude(right, 440.0, 48000.0), 0.5, 0.005);
    EXPECT_NEAR(toneAmplitude(right, 1000.0, 48000.0), 0.25, 0.005);
}

TEST_F(EngineOnSimulatedDevice, FailedStartsSayWhyAndLeaveNoIOProc)
{
    playConstant({0.0f});
    system->injectFault({SimulatedCall::createIOProc, output, std::nullopt, kAudioHardwareIllegalOperationError, false, 1});
    try {
        engine->start();
        FAIL() << "started";
    } catch (const AVAudioEngineError& error) {
        EXPECT_EQ(error.code(), kAudioHardwareIllegalOperationError);
        EXPECT_NE(std::string(error.what()).find("'nope'"), std::string::npos) << error.what();
    }

    system->injectFault({SimulatedCall::startDevice, output, std::nullopt, kAudioDevicePermissionsError, false, 1});
    EXPECT_THROW(engine->start(), AVAudioEngineError);
    EXPECT_EQ(system->ioProcCount(output), 0u);
    EXPECT_FALSE(engine->isRunning());

    engine->start();  // the faults are used up
    EXPECT_TRUE(engine->isRunning());
}

TEST_F(EngineOnSimulatedDevice, NoOutputDeviceFailsTheStart)
{
    system->setDefaultOutputDevice(0);
    playConstant({0.0f});
    EXPECT_THROW(engine->start(), AVAudioEngineError);
    system->removeDevice(output);
    const AudioObjectID gone = output;
    EXPECT_NE(AudioUnitSetProperty(engine->outputNode()->audioUnit(), kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &gone, sizeof gone),
              0);
}
