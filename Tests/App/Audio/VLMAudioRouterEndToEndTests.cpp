// The whole path on the simulated audio system: music app and microphone in,
// the mix out of the virtual device, measured tone by tone.

#include "Support/RouterTest.h"
#include "Support/ToneAnalysis.h"

#include <algorithm>

namespace {

constexpr double musicTone = 440, microphoneTone = 1000;
constexpr float amplitude = 0.5f;
// What the microphone's resampler adds, at 48 kHz: its filter's delay and the frame it pulls ahead.
constexpr std::int64_t resamplerFrames = 160;

struct Arrangement {
    double microphoneRate = 16000;
    double microphoneClockErrorPPM = 0;
    double outputStartDelay = 0;
    double recordingSeconds = 30;
};

class VLMAudioRouterEndToEndTest : public RouterTest {
protected:
    // Devices with 10 ms buffers, so every device's cycle falls together.
    void arrange(double microphoneRate) { arrange(Arrangement{.microphoneRate = microphoneRate}); }
    void arrange(const Arrangement& a)
    {
        system->removeDevice(microphone);
        system->removeDevice(virtualDevice);
        auto mic = SimulatedDeviceDescription::microphone("built-in", "Built-in Microphone", 1, a.microphoneRate,
                                                          SimulatedSignals::sine(microphoneTone, amplitude));
        mic.bufferFrameSize = std::uint32_t(a.microphoneRate / 100);
        mic.clockErrorPPM = a.microphoneClockErrorPPM;
        microphone = system->addDevice(mic);
        auto output = SimulatedDeviceDescription::output(VLMVirtualOutputDevice::deviceUID,
                                                         VLMVirtualOutputDevice::displayName, 44100);
        output.bufferFrameSize = 480;
        output.startDelaySeconds = a.outputStartDelay;
        output.recordingSeconds = a.recordingSeconds;
        virtualDevice = system->addDevice(output);
        system->setTapBufferFrameSize(480);
        system->addApplication("com.tarnwick.velmora", SimulatedSignals::sine(musicTone, amplitude));
    }

    std::vector<float> record(double seconds)
    {
        system->advance(seconds);
        return system->recordedOutput(virtualDevice);
    }
};

TEST_F(VLMAudioRouterEndToEndTest, BothTonesReachTheVirtualDeviceAtTheirGains)
{
    arrange(16000);
    makeRouter();
    router->setVelmoraVolume(0.5f);
    router->setMicrophoneVolume(0.25f);
    router->start();
    ASSERT_EQ(router->status(), VLMAudioRouterStatus::ready());
    EXPECT_EQ(system->nominalSampleRate(virtualDevice), 48000.0) << "set to the captured rate";

    const std::vector<float> recording = record(2.0);
    for (int channel : {0, 1}) {
        const std::vector<float> second = channelOf(recording, channel, 48000 / 2, 48000);
        EXPECT_NEAR(toneAmplitude(second, 48000, musicTone), amplitude * 0.5, 0.005) << channel;
        EXPECT_NEAR(toneAmplitude(second, 48000, microphoneTone), amplitude * 0.25, 0.005) << channel;
        // Nothing else: what is left after the two tones is far below them.
        const double expectedRMS = std::sqrt((0.25 * 0.25 + 0.125 * 0.125) / 2);
        EXPECT_NEAR(rms(second), expectedRMS, 0.01 * expectedRMS);
    }
}

TEST_F(VLMAudioRouterEndToEndTest, TheMixRunsWithoutGapOrClickOnceStarted)
{
    arrange(16000);
    makeRouter().start();
    const std::vector<float> left = channelOf(record(1.0), 0, 0, 48000);

    std::size_t first = 0;
    while (first < left.size() && left[first] == 0.0f)
        ++first;
    ASSERT_LT(first, std::size_t(4800)) << "sound within 100 ms of the start";

    // The steepest the two sines at gain 0.8 can change from one sample to the next.
    const double slope = 2 * std::numbers::pi * (musicTone + microphoneTone) * amplitude * 0.8 / 48000;
    const std::size_t settled = first + 480;  // past the resampler's first block
    for (std::size_t n = settled; n < left.size(); ++n)
        ASSERT_LE(std::abs(left[n] - left[n - 1]), slope * 1.05) << "click at frame " << n;
    for (std::size_t window = settled; window + 480 <= left.size(); window += 480) {
        const std::vector<float> part(left.begin() + std::ptrdiff_t(window), left.begin() + std::ptrdiff_t(window + 480));
        ASSERT_GT(rms(part), 0.25) << "gap at frame " << window;
    }
}

TEST_F(VLMAudioRouterEndToEndTest, AMicrophoneAtCDRateWorksBesideATapAt48k)
{
    arrange(44100);
    makeRouter().start();
    ASSERT_EQ(router->status(), VLMAudioRouterStatus::ready());
    const std::vector<float> second = channelOf(record(1.5), 1, 24000, 48000);
    EXPECT_NEAR(toneAmplitude(second, 48000, microphoneTone), amplitude * 0.8, 0.01);
    EXPECT_NEAR(toneAmplitude(second, 48000, musicTone), amplitude * 0.8, 0.01);
}

TEST_F(VLMAudioRouterEndToEndTest, AZeroGainMutesItsSource)
{
    arrange(16000);
    makeRouter();
    router->setMicrophoneVolume(0.0f);
    router->start();
    const std::vector<float> second = channelOf(record(1.5), 0, 24000, 48000);
    EXPECT_LT(toneAmplitude(second, 48000, microphoneTone), 1e-4);
    EXPECT_NEAR(toneAmplitude(second, 48000, musicTone), amplitude * 0.8, 0.005);
}

TEST_F(VLMAudioRouterEndToEndTest, AGainChangedWhileRunningReachesTheMix)
{
    arrange(16000);
    makeRouter().start();
    system->advance(0.5);
    system->clearRecordedOutput(virtualDevice);
    router->setVelmoraVolume(0.25f);
    const std::vector<float> second = channelOf(record(1.1), 0, 4800, 48000);
    EXPECT_NEAR(toneAmplitude(second, 48000, musicTone), amplitude * 0.25, 0.005);
}

// Delay is measured as RouterLatencyBenchmark does: a click's position in the
// virtual device's stream against its position in the source's.

// The output device takes longer to start than the rings can hold: whatever
// the captures delivered before the engine's first render is not heard late.
TEST_F(VLMAudioRouterEndToEndTest, ASlowStartAddsNoBacklogToEitherSource)
{
    constexpr double startDelay = 3.0;
    constexpr std::int64_t outputStart = 3 * 48000;  // the output's frame 0, on the captures' time line
    // At 3.25 s and at 5 s (80000 at 16 kHz), far enough apart that a late click stays in its own range.
    constexpr std::int64_t musicClick = 156000, microphoneClick = 80000;
    constexpr std::size_t rangesMeet = 3 * microphoneClick - outputStart;
    arrange({.outputStartDelay = startDelay});
    system->addApplication("com.tarnwick.velmora", SimulatedSignals::impulse(musicClick, 1.0f));
    system->setInputSignal(microphone, SimulatedSignals::impulse(microphoneClick, 1.0f));
    makeRouter().start();
    const std::vector<float> recording = record(startDelay + 6.0);

    const std::int64_t musicDelay = loudestFrame(recording, 0, 0, rangesMeet) + outputStart - musicClick;
    const std::int64_t microphoneDelay =
        loudestFrame(recording, 0, rangesMeet, recording.size() / 2) + outputStart - 3 * microphoneClick;
    EXPECT_GE(musicDelay, 0);
    EXPECT_LE(musicDelay, 480) << "one device buffer";
    EXPECT_GE(microphoneDelay, 0);
    EXPECT_LE(microphoneDelay, 480 + resamplerFrames) << "one device buffer and the resampler";
}

// A microphone whose clock runs off the virtual device's: over a minute the
// delay stays within a buffer, although a fast clock delivers more than is
// played and a slow one less.
class VLMAudioRouterClockDriftTest : public VLMAudioRouterEndToEndTest,
                                     public testing::WithParamInterface<double> {};

TEST_P(VLMAudioRouterClockDriftTest, TheMicrophoneDelayStaysWithinABufferForAMinute)
{
    const double ppm = GetParam();
    constexpr double seconds = 60;
    arrange({.microphoneClockErrorPPM = ppm, .recordingSeconds = seconds});
    system->removeApplication("com.tarnwick.velmora");
    constexpr std::uint64_t clickEvery = 8000;  // half a second of the microphone's frames
    system->setInputSignal(microphone, [](std::uint64_t frame, std::uint32_t, double) {
        return frame % clickEvery == clickEvery / 2 ? 1.0f : 0.0f;
    });
    makeRouter().start();
    const std::vector<float> recording = record(seconds);

    // Output frames per microphone frame, as the microphone's clock paces them.
    const double scale = 48000 / (16000 * (1 + ppm * 1e-6));
    std::vector<std::int64_t> delays;
    for (std::uint64_t click = clickEvery / 2;; click += clickEvery) {
        const auto due = std::size_t(std::llround(double(click) * scale));
        if (due + 12000 > recording.size() / 2)
            break;
        const std::int64_t at = loudestFrame(recording, 0, due, due + 12000);
        ASSERT_GE(at, 0) << "click " << click << " lost";
        delays.push_back(at - std::int64_t(due));
    }
    ASSERT_GT(delays.size(), 100u);
    const auto [least, most] = std::minmax_element(delays.begin(), delays.end());
    EXPECT_GE(*least, 0);
    EXPECT_LE(*most, 480 + resamplerFrames) << "click " << most - delays.begin() << " of " << delays.size();
}

INSTANTIATE_TEST_SUITE_P(, VLMAudioRouterClockDriftTest, testing::Values(500.0, -1000.0),
                         [](const auto& info) { return info.param > 0 ? "Fast500ppm" : "Slow1000ppm"; });

} // namespace
