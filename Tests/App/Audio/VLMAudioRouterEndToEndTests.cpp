// The whole path on the simulated audio system: music app and microphone in,
// the mix out of the virtual device, measured tone by tone.

#include "Support/RouterTest.h"
#include "Support/ToneAnalysis.h"

namespace {

constexpr double musicTone = 440, microphoneTone = 1000;
constexpr float amplitude = 0.5f;

class VLMAudioRouterEndToEndTest : public RouterTest {
protected:
    // Devices with 10 ms buffers, so every device's cycle falls together.
    void arrange(double microphoneRate)
    {
        system->removeDevice(microphone);
        system->removeDevice(virtualDevice);
        auto mic = SimulatedDeviceDescription::microphone("built-in", "Built-in Microphone", 1, microphoneRate,
                                                          SimulatedSignals::sine(microphoneTone, amplitude));
        mic.bufferFrameSize = std::uint32_t(microphoneRate / 100);
        microphone = system->addDevice(mic);
        auto output = SimulatedDeviceDescription::output(VLMVirtualOutputDevice::deviceUID,
                                                         VLMVirtualOutputDevice::displayName, 44100);
        output.bufferFrameSize = 480;
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

} // namespace
