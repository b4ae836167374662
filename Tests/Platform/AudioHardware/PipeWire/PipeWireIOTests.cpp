// IOProcs and process taps against a real (private) PipeWire server: what
// reaches an IOProc is measured tone by tone.

#include "PipeWireAudioSystem.h"
#include "PipeWireTestSupport.h"
#include "Support/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>

using namespace PipeWireTest;

namespace {

constexpr const char* kVirtualDeviceUID = "com.tarnwick.VelmoraStudioConnect.Device";
constexpr double kRate = 48000.0;
// Tones play at 0.2 peak; measuring through the graph gives it within this.
constexpr double kTolerance = 0.03;
// Below this a tone counts as absent.
constexpr double kSilence = 0.005;

class PipeWireIO : public testing::Test {
protected:
    void SetUp() override
    {
        system = PipeWireAudioSystem::connect();
        ASSERT_TRUE(system);
        AudioHardwareInstallBackend(system);
    }
    void TearDown() override
    {
        AudioHardwareInstallBackend(nullptr);
        system.reset();
        drainMainQueue();
    }

    static bool waitForFrames(const CaptureBuffer& buffer, double seconds)
    {
        return runMainQueueUntil([&] { return buffer.frames() >= std::size_t(seconds * kRate); });
    }

    std::shared_ptr<PipeWireAudioSystem> system;
};

TEST_F(PipeWireIO, AMicrophoneCaptureDeliversTheMicrophonesSignalUntilStopped)
{
    auto mic = ToneSource::microphone("test-mic", "Test Microphone", 440.0, 0.25f, 1);
    ASSERT_TRUE(mic->waitUntilReady());
    AudioObjectID device = 0;
    ASSERT_TRUE(runMainQueueUntil([&] { return (device = deviceWithUID("test-mic")) != 0 && VLMAudioHardware::inputChannelCount(device); }));

    // A stop returns only once the IOProc is no longer running: the block
    // is caught in the middle of a cycle while the stop is asked for, and
    // would see the stop return if it did not wait for that cycle's end.
    CaptureBuffer buffer;
    enum Phase { running, stopping, caughtInCycle, stopped };
    std::atomic<int> phase{running};
    std::atomic<bool> ranAfterStop{false};
    auto capture = buffer.block();
    AudioDeviceIOBlock block = [&](const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp* inTime,
                                   AudioBufferList* out, const AudioTimeStamp* outTime) {
        capture(now, in, inTime, out, outTime);
        int expected = stopping;
        if (phase.compare_exchange_strong(expected, caughtInCycle)) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            while (phase.load() != stopped && std::chrono::steady_clock::now() < until) {
            }
        }
        if (phase.load() == stopped)
            ranAfterStop = true;
    };
    AudioDeviceIOProcID ioProc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&ioProc, device, nullptr, block), 0);
    ASSERT_NE(ioProc, nullptr);
    // Switch the one input stream on, as the program does.
    struct {
        AudioHardwareIOProcStreamUsage usage;
    } record{{ioProc, 1, {1}}};
    const AudioObjectPropertyAddress suse{kAudioDevicePropertyIOProcStreamUsage, kAudioObjectPropertyScopeInput,
                                          kAudioObjectPropertyElementMain};
    ASSERT_EQ(AudioObjectSetPropertyData(device, &suse, 0, nullptr, 16, &record), 0);
    ASSERT_EQ(AudioDeviceStart(device, ioProc), 0);

    ASSERT_TRUE(waitForFrames(buffer, 1.0));
    const auto samples = buffer.samples();
    // A mono microphone reaches both sides, as its layout folds to stereo.
    for (std::uint32_t channel : {0u, 1u}) {
        EXPECT_NEAR(toneAmplitude(samples, 2, channel, kRate, 440.0), 0.25, kTolerance);
        EXPECT_LT(toneAmplitude(samples, 2, channel, kRate, 1000.0), kSilence);
    }

    phase = stopping;
    ASSERT_TRUE(runMainQueueUntil([&] { return phase.load() == caughtInCycle; }));
    ASSERT_EQ(AudioDeviceStop(device, ioProc), 0);
    phase = stopped;
    ASSERT_TRUE(system->synchronize());
    EXPECT_FALSE(ranAfterStop);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(device, ioProc), 0);
    EXPECT_NE(AudioDeviceDestroyIOProcID(device, ioProc), 0);
}

// Each channel of a microphone plays a tone of its own; the capture's left
// side averages the even channels (FL, RL), its right side the odd ones.
TEST_F(PipeWireIO, StereoAndFourChannelMicrophonesFoldToStereoChannelByChannel)
{
    const std::vector<double> tones{440.0, 660.0, 880.0, 1100.0};
    for (std::uint32_t channels : {2u, 4u}) {
        SCOPED_TRACE(channels);
        const std::string name = "test-mic-" + std::to_string(channels);
        ToneOptions options;
        options.amplitude = 0.2f;
        options.channels = channels;
        options.channelFrequencies.assign(tones.begin(), tones.begin() + channels);
        options.properties = {{"media.class", "Audio/Source"}, {"node.name", name}};
        ToneSource mic(options);
        ASSERT_TRUE(mic.waitUntilReady());
        AudioObjectID device = 0;
        ASSERT_TRUE(runMainQueueUntil([&] {
            return (device = deviceWithUID(name)) != 0 && VLMAudioHardware::inputChannelCount(device) == channels;
        }));
        CaptureBuffer buffer;
        AudioDeviceIOProcID ioProc = nullptr;
        ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&ioProc, device, nullptr, buffer.block()), 0);
        ASSERT_EQ(AudioDeviceStart(device, ioProc), 0);
        ASSERT_TRUE(waitForFrames(buffer, 1.0));
        ASSERT_EQ(AudioDeviceStop(device, ioProc), 0);
        EXPECT_EQ(AudioDeviceDestroyIOProcID(device, ioProc), 0);

        const auto samples = buffer.samples();
        const double each = 0.2 / (channels / 2);
        for (std::uint32_t c = 0; c < channels; ++c) {
            SCOPED_TRACE(c);
            EXPECT_NEAR(toneAmplitude(samples, 2, c % 2, kRate, tones[c]), each, kTolerance / 2);
            EXPECT_LT(toneAmplitude(samples, 2, 1 - c % 2, kRate, tones[c]), kSilence);
        }
    }
}

// The graph runs at the quantum a stream asks for (node.latency) while the
// "settings" metadata still names its default: the quantum the program
// reports is the one its IOProcs get.
TEST_F(PipeWireIO, TheReportedQuantumIsTheOneTheGraphRuns)
{
    ToneOptions options;
    options.channels = 1;
    options.properties = {{"media.class", "Audio/Source"}, {"node.name", "test-mic-short"},
                          {"node.latency", "128/48000"}};
    ToneSource mic(options);
    ASSERT_TRUE(mic.waitUntilReady());
    AudioObjectID device = 0;
    ASSERT_TRUE(runMainQueueUntil(
        [&] { return (device = deviceWithUID("test-mic-short")) != 0 && VLMAudioHardware::inputChannelCount(device); }));
    std::atomic<std::uint32_t> lastFrames{0};
    AudioDeviceIOProcID ioProc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(
                  &ioProc, device, nullptr,
                  [&](const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) { lastFrames = in->mBuffers[0].mDataByteSize / 4; }),
              0);
    ASSERT_EQ(AudioDeviceStart(device, ioProc), 0);
    ASSERT_TRUE(runMainQueueUntil([&] { return lastFrames == 128; }));
    const AudioObjectPropertyAddress fsiz{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMain};
    std::uint32_t quantum = 0;
    std::uint32_t size = sizeof quantum;
    EXPECT_EQ(AudioObjectGetPropertyData(device, &fsiz, 0, nullptr, &size, &quantum), 0);
    EXPECT_EQ(quantum, 128u);
    ASSERT_EQ(AudioDeviceStop(device, ioProc), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(device, ioProc), 0);
}

TEST_F(PipeWireIO, PlayingIntoTheVirtualDeviceAtEitherGraphRateReachesWhoeverRecordsIt)
{
    const AudioObjectID device = deviceWithUID(kVirtualDeviceUID);
    ASSERT_NE(device, 0u);
    MetadataClient settings;
    ASSERT_TRUE(settings.bind("settings"));
    for (double rate : {44100.0, 48000.0}) {
        SCOPED_TRACE(rate);
        const std::string forced = rate == 48000.0 ? "0" : std::to_string(int(rate));
        ASSERT_TRUE(settings.set("settings", "clock.force-rate", forced));
        ASSERT_TRUE(runMainQueueUntil([&] { return VLMAudioHardware::nominalSampleRate(device) == rate; }));
        const AudioObjectPropertyAddress nsrt{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                              kAudioObjectPropertyElementMain};
        ASSERT_EQ(AudioObjectSetPropertyData(device, &nsrt, 0, nullptr, sizeof rate, &rate), 0);

        // A 1 kHz sine computed at the device's rate, written into every channel.
        auto phase = std::make_shared<double>(0.0);
        AudioDeviceIOProcID ioProc = nullptr;
        ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(
                      &ioProc, device, nullptr,
                      [phase, rate](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                                    AudioBufferList* output, const AudioTimeStamp*) {
                          EXPECT_EQ(input->mNumberBuffers, 0u);
                          AudioBuffer& b = output->mBuffers[0];
                          auto* out = static_cast<float*>(b.mData);
                          for (std::uint32_t i = 0; i < b.mDataByteSize / (4 * b.mNumberChannels); ++i) {
                              const float v = 0.2f * float(std::sin(*phase));
                              *phase = std::fmod(*phase + 2 * M_PI * 1000.0 / rate, 2 * M_PI);
                              for (std::uint32_t c = 0; c < b.mNumberChannels; ++c)
                                  out[i * b.mNumberChannels + c] = v;
                          }
                      }),
                  0);
        ASSERT_EQ(AudioDeviceStart(device, ioProc), 0);

        Recorder recorder(kVirtualDeviceUID, false);
        ASSERT_TRUE(runMainQueueUntil([&] { return recorder.frames() >= std::size_t(kRate); }));
        const auto samples = recorder.samples();
        for (std::uint32_t channel : {0u, 1u}) {
            EXPECT_NEAR(toneAmplitude(samples, 2, channel, kRate, 1000.0), 0.2, kTolerance);
            // Played at the wrong rate it would show up elsewhere.
            EXPECT_LT(toneAmplitude(samples, 2, channel, kRate, 1000.0 * 48000.0 / 44100.0), 0.02);
        }
        EXPECT_EQ(AudioDeviceStop(device, ioProc), 0);
        EXPECT_EQ(AudioDeviceDestroyIOProcID(device, ioProc), 0);
    }
}

TEST_F(PipeWireIO, AProcessTapCapturesTheChosenApplicationsWhileTheSpeakersStillPlayThem)
{
    auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
    // Music with a left and a right of its own: neither side may reach the other.
    ToneOptions stereo;
    stereo.channelFrequencies = {2500.0, 3000.0};
    stereo.properties = {{"application.id", "com.apple.Music"}, {"node.name", "com.apple.Music.stream"}};
    auto music = std::make_unique<ToneSource>(stereo);
    auto other = ToneSource::application("org.example.Other", 4000.0);
    for (auto* app : {velmora.get(), music.get(), other.get()})
        ASSERT_TRUE(app->waitUntilReady());
    ASSERT_TRUE(system->synchronize());

    CaptureBuffer buffer;
    const RunningTap tap = startTap(buffer, {"com.tarnwick.velmora", "com.apple.Music"});
    Recorder speakers("test-speakers", true);
    ASSERT_TRUE(waitForFrames(buffer, 1.5));
    ASSERT_TRUE(runMainQueueUntil([&] { return speakers.frames() >= std::size_t(1.5 * kRate); }));

    EXPECT_EQ(buffer.channels(), 2u);
    const auto captured = buffer.samples();
    const auto heard = speakers.samples();
    for (std::uint32_t channel : {0u, 1u}) {
        SCOPED_TRACE(channel);
        const double own = channel == 0 ? 2500.0 : 3000.0;
        const double opposite = channel == 0 ? 3000.0 : 2500.0;
        EXPECT_NEAR(toneAmplitude(captured, 2, channel, kRate, 1000.0), 0.2, kTolerance);
        EXPECT_NEAR(toneAmplitude(captured, 2, channel, kRate, own), 0.2, kTolerance);
        EXPECT_LT(toneAmplitude(captured, 2, channel, kRate, opposite), kSilence);
        EXPECT_LT(toneAmplitude(captured, 2, channel, kRate, 4000.0), kSilence);
        // The speakers keep every application, tapped or not.
        EXPECT_NEAR(toneAmplitude(heard, 2, channel, kRate, 1000.0), 0.2, kTolerance);
        EXPECT_NEAR(toneAmplitude(heard, 2, channel, kRate, own), 0.2, kTolerance);
        EXPECT_LT(toneAmplitude(heard, 2, channel, kRate, opposite), kSilence);
        EXPECT_NEAR(toneAmplitude(heard, 2, channel, kRate, 4000.0), 0.2, kTolerance);
    }
    stopTap(tap);
}

// Streams are followed as they come: by application.id, or for a sandboxed
// application by the application id its portal gave it.
TEST_F(PipeWireIO, ApplicationsThatStartAfterTheTapAreCapturedSandboxedOrNot)
{
    CaptureBuffer buffer(12.0);
    const RunningTap tap = startTap(buffer, {"com.tarnwick.velmora", "com.apple.Music"});
    // Cycles keep coming while nothing plays.
    ASSERT_TRUE(waitForFrames(buffer, 0.2));

    auto music = ToneSource::application("com.apple.Music", 2500.0);
    ToneSource sandboxed(
        {.frequency = 1500.0, .properties = {{"pipewire.access.portal.app_id", "com.tarnwick.velmora"}}});
    ASSERT_TRUE(music->waitUntilReady() && sandboxed.waitUntilReady());
    const std::size_t from = buffer.frames();
    ASSERT_TRUE(runMainQueueUntil([&] { return buffer.frames() >= from + std::size_t(1.5 * kRate); }));
    auto samples = buffer.samples();
    samples.erase(samples.begin(), samples.begin() + std::ptrdiff_t(2 * from));
    for (double tone : {2500.0, 1500.0})
        for (std::uint32_t channel : {0u, 1u})
            EXPECT_NEAR(toneAmplitude(samples, 2, channel, kRate, tone), 0.2, kTolerance) << tone;
    stopTap(tap);
}

// Sound captured in a cycle is played in that cycle: whatever the order they
// were started in, IOProcs that capture run before those that play, in the
// same cycle of the graph (the same host time).
TEST_F(PipeWireIO, CapturesRunBeforePlaybacksInEveryCycle)
{
    auto mic = ToneSource::microphone("test-mic", "Test Microphone", 440.0, 0.25f, 1);
    ASSERT_TRUE(mic->waitUntilReady());
    AudioObjectID microphone = 0;
    ASSERT_TRUE(runMainQueueUntil(
        [&] { return (microphone = deviceWithUID("test-mic")) != 0 && VLMAudioHardware::inputChannelCount(microphone); }));
    const AudioObjectID device = deviceWithUID(kVirtualDeviceUID);

    std::atomic<std::uint64_t> captured{0}, inStep{0}, late{0};
    AudioDeviceIOProcID capture = nullptr, playback = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(
                  &capture, microphone, nullptr,
                  [&](const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) { captured = now->mHostTime; }),
              0);
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(
                  &playback, device, nullptr,
                  [&](const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) {
                      if (captured != 0)
                          ++(captured == now->mHostTime ? inStep : late);
                  }),
              0);
    ASSERT_EQ(AudioDeviceStart(device, playback), 0);
    ASSERT_EQ(AudioDeviceStart(microphone, capture), 0);
    ASSERT_TRUE(runMainQueueUntil([&] { return inStep >= 100; }));
    EXPECT_EQ(AudioDeviceStop(microphone, capture), 0);
    EXPECT_EQ(AudioDeviceStop(device, playback), 0);
    EXPECT_EQ(late, 0u);
    AudioDeviceDestroyIOProcID(microphone, capture);
    AudioDeviceDestroyIOProcID(device, playback);
}

TEST_F(PipeWireIO, TapsThatWouldMuteAndAggregatesOfUnknownTapsAreRefused)
{
    auto muting = CATapDescription::initStereoMixdownOfProcesses({});
    muting.setMuteBehavior(CATapMuted);
    AudioObjectID tap = 0;
    EXPECT_EQ(AudioHardwareCreateProcessTap(&muting, &tap), kAudioHardwareUnsupportedOperationError);

    const CFDictionary aggregate{
        {kAudioAggregateDeviceUIDKey, "com.example.Aggregate"},
        {kAudioAggregateDeviceTapListKey, CFArray{CFDictionary{{kAudioSubTapUIDKey, "no-such-tap"}}}},
    };
    AudioObjectID device = 0;
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&aggregate, &device), kAudioHardwareBadObjectError);
    EXPECT_EQ(device, 0u);
}

} // namespace
