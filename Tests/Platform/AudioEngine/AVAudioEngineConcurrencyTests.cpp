// The engine on the simulated system's real-time clock: the IO thread renders,
// the tap thread delivers, the main thread changes volumes and stops and
// starts. Run under ThreadSanitizer in CI.

#include "EngineTestSupport.h"
#include "SimulatedAudioSystem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace enginetest;

namespace {

class RealTimeEngine : public testing::Test {
protected:
    void SetUp() override
    {
        AudioHardwareInstallBackend(system);
        auto description = SimulatedDeviceDescription::output("virtual", "Virtual", 48000.0);
        description.bufferFrameSize = 256;
        output = system->addDevice(description);
        system->setDefaultOutputDevice(output);

        const auto format = AVAudioFormat::standardFormatWithSampleRate(16000, 2);
        auto source = std::make_shared<AVAudioSourceNode>(
            format, [this](bool*, const AudioTimeStamp*, AVAudioFrameCount frames, AudioBufferList* data) {
                renderThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
                for (std::uint32_t b = 0; b < data->mNumberBuffers; ++b)
                    std::fill_n(static_cast<float*>(data->mBuffers[b].mData), frames, 1.0f);
                return OSStatus(0);
            });
        engine->attach(source);
        engine->attach(mixer);
        engine->connect(source, mixer, format);
        engine->connect(mixer, engine->mainMixerNode(), nullptr);
    }
    void TearDown() override
    {
        engine.reset();
        AudioHardwareInstallBackend(nullptr);
    }

    std::shared_ptr<SimulatedAudioSystem> system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::realTime);
    AudioObjectID output = 0;
    std::unique_ptr<AVAudioEngine> engine = std::make_unique<AVAudioEngine>();
    std::shared_ptr<AVAudioMixerNode> mixer = std::make_shared<AVAudioMixerNode>();
    std::atomic<std::thread::id> renderThread{};
};

} // namespace

TEST_F(RealTimeEngine, TapsArriveOnTheEnginesThreadAndFollowTheVolume)
{
    struct Delivery {
        std::thread::id thread;
        float last;
    };
    Collector<Delivery> deliveries;
    mixer->installTapOnBus(0, 512, nullptr, [&](const std::shared_ptr<AVAudioPCMBuffer>& buffer, const AVAudioTime&) {
        deliveries.add({std::this_thread::get_id(), buffer->floatChannelData()[0][buffer->frameLength() - 1]});
    });
    engine->start();
    ASSERT_TRUE(deliveries.waitForCount(3));
    mixer->setOutputVolume(0.25f);
    const std::size_t changedAt = deliveries.values().size();
    // Within two buffers after the change the tap sees the new level.
    ASSERT_TRUE(deliveries.waitForCount(changedAt + 3));
    engine->stop();

    const auto got = deliveries.values();
    EXPECT_NEAR(got.front().last, 1.0f, 1e-4f);  // through the resampler
    EXPECT_NEAR(got.back().last, 0.25f, 1e-4f);
    for (const Delivery& d : got) {
        EXPECT_NE(d.thread, std::this_thread::get_id());
        EXPECT_NE(d.thread, renderThread.load());
    }
}

TEST_F(RealTimeEngine, StartsAndStopsWhileTheDeviceRuns)
{
    Collector<int> delivered;
    mixer->installTapOnBus(0, 256, nullptr, [&](auto&, auto&) { delivered.add(1); });
    for (int round = 0; round < 10; ++round) {
        engine->start();
        EXPECT_EQ(system->runningIOProcCount(output), 1u);
        mixer->setOutputVolume(float(round % 2));
        engine->stop();
        engine->reset();
        EXPECT_EQ(system->ioProcCount(output), 0u);
    }
    // Nothing was left broken: a last start plays and taps again.
    engine->start();
    const std::size_t before = delivered.values().size();
    EXPECT_TRUE(delivered.waitForCount(before + 2));
    engine.reset();  // destroying a running engine stops it
    EXPECT_EQ(system->ioProcCount(output), 0u);
}

// Pausing and resuming the taps while the IO thread renders: every buffer still
// holds consecutive frames and carries the time of its first.
TEST_F(RealTimeEngine, TapsPausedAndResumedWhileRenderingNeverSpliceAudio)
{
    const auto format = AVAudioFormat::standardFormatWithSampleRate(48000, 1);
    std::atomic<AVAudioFramePosition> rendered{0};
    auto numbered = std::make_shared<AVAudioSourceNode>(
        format, [&rendered, block = frameNumberBlock()](bool* silence, const AudioTimeStamp* time,
                                                         AVAudioFrameCount frames, AudioBufferList* data) {
            rendered.fetch_add(frames);
            return block(silence, time, frames, data);
        });
    auto numberedMixer = std::make_shared<AVAudioMixerNode>();
    engine->attach(numbered);
    engine->attach(numberedMixer);
    engine->connect(numbered, numberedMixer, format);
    engine->connect(numberedMixer, engine->mainMixerNode(), nullptr);
    struct Delivery {
        AVAudioFramePosition sampleTime;
        float first, last;
    };
    Collector<Delivery> deliveries;
    numberedMixer->installTapOnBus(0, 512, nullptr, [&](const std::shared_ptr<AVAudioPCMBuffer>& buffer,
                                                        const AVAudioTime& when) {
        const float* samples = buffer->floatChannelData()[0];
        deliveries.add({when.sampleTime, samples[0], samples[buffer->frameLength() - 1]});
    });
    engine->start();
    for (int pause = 0; pause < 20; ++pause) {
        ASSERT_TRUE(deliveries.waitForCount(deliveries.values().size() + 1 + pause % 3));
        engine->setTapsPaused(true);
        // Half the pauses last at least one render pass, the others may end before the next.
        const AVAudioFramePosition pausedAt = rendered.load();
        while (pause % 2 == 0 && rendered.load() < pausedAt + 512)
            std::this_thread::yield();
        engine->setTapsPaused(false);
    }
    engine->stop();

    const auto got = deliveries.values();
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].last - got[i].first, 511.0f) << "buffer " << i;
        EXPECT_EQ(got[i].sampleTime, AVAudioFramePosition(got[i].first)) << "buffer " << i;
        if (i > 0) {
            EXPECT_GE(got[i].first, got[i - 1].last + 1) << "buffer " << i;
        }
    }
}
