// Proof that the render path allocates nothing and takes no lock: the shared
// hooks count, per thread, every allocation and pthread mutex lock (as far as
// a sanitizer lets them, see AudioThreadHooks.h), and the render thread reads
// its own counts from inside a render block while the simulated system's
// real-time clock drives the engine.

#include "EngineTestSupport.h"
#include "SimulatedAudioSystem.h"
#include "Support/AudioThreadHooks.h"
#include "VLMAudioRouter.h"

#include <gtest/gtest.h>

#include <thread>

#include <atomic>
#include <mutex>
#include <pthread.h>

#if defined(__SANITIZE_THREAD__)
#define VLM_COUNT_LOCKS 0
#else
#define VLM_COUNT_LOCKS 1
#endif

// ---- tests --------------------------------------------------------------------

using namespace enginetest;

namespace {

// A render block that plays a tone and records, on the thread that renders,
// how many allocations and locks that thread has made from its first call on.
struct RenderProbe {
    std::atomic<int> calls{0};
    std::atomic<std::uint64_t> allocations{0};
    std::atomic<std::uint64_t> locks{0};
    std::atomic<bool> onIOThread{true};
    std::uint64_t firstAllocations = 0, firstLocks = 0;  // render thread only
};

AVAudioSourceNodeRenderBlock probedBlock(std::shared_ptr<RenderProbe> probe, AVAudioSourceNodeRenderBlock inner)
{
    return [probe, inner](bool* isSilence, const AudioTimeStamp* time, AVAudioFrameCount frames,
                          AudioBufferList* data) {
        const AudioThreadCounts now = countsOnThisThread();
        if (probe->calls.load(std::memory_order_relaxed) == 0) {
            probe->firstAllocations = now.allocations;
            probe->firstLocks = now.locks;
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            probe->onIOThread = std::string_view(name) == SimulatedAudioSystem::ioThreadName;
        }
        probe->allocations.store(now.allocations - probe->firstAllocations, std::memory_order_relaxed);
        probe->locks.store(now.locks - probe->firstLocks, std::memory_order_relaxed);
        probe->calls.fetch_add(1, std::memory_order_release);
        return inner(isSilence, time, frames, data);
    };
}

} // namespace

TEST(RealTimeAllocation, RenderThreadNeitherAllocatesNorLocksWhileTheProgramsGraphPlays)
{
    auto system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::realTime);
    AudioHardwareInstallBackend(system);
    auto description = SimulatedDeviceDescription::output("virtual", "Virtual", 48000.0);
    description.bufferFrameSize = 256;
    const AudioObjectID output = system->addDevice(description);

    auto probe = std::make_shared<RenderProbe>();
    Collector<int> musicLevels, microphoneLevels;
    {
        AVAudioEngine engine;
        const auto music = AVAudioFormat::standardFormatWithSampleRate(48000, 2);
        const auto microphone = AVAudioFormat::standardFormatWithSampleRate(16000, 2);
        auto musicSource = std::make_shared<AVAudioSourceNode>(music, probedBlock(probe, sineBlock(440, 0.5f, 48000)));
        auto microphoneSource = std::make_shared<AVAudioSourceNode>(microphone, sineBlock(1000, 0.5f, 16000));
        auto musicMixer = std::make_shared<AVAudioMixerNode>();
        auto microphoneMixer = std::make_shared<AVAudioMixerNode>();
        VLMAudioRouter::connectMix(engine, musicSource, microphoneSource, musicMixer, microphoneMixer, music, microphone);
        AudioUnitSetProperty(engine.outputNode()->audioUnit(), kAudioOutputUnitProperty_CurrentDevice,
                             kAudioUnitScope_Global, 0, &output, sizeof output);
        musicMixer->installTapOnBus(0, 1024, nullptr, [&](auto&, auto&) { musicLevels.add(1); });
        microphoneMixer->installTapOnBus(0, 1024, nullptr, [&](auto&, auto&) { microphoneLevels.add(1); });
        engine.prepare();
        engine.start();

        // Long enough for every path to have run many times: both taps have
        // handed off several buffers, and the volumes have ramped.
        ASSERT_TRUE(musicLevels.waitForCount(4));
        musicMixer->setOutputVolume(0.25f);
        microphoneMixer->setOutputVolume(0.75f);
        ASSERT_TRUE(musicLevels.waitForCount(12));
        ASSERT_TRUE(microphoneLevels.waitForCount(12));
        // Taps paused for some passes and resumed: the render thread marks where they resume.
        engine.setTapsPaused(true);
        const int pausedAt = probe->calls.load();
        while (probe->calls.load() < pausedAt + 8)
            std::this_thread::yield();
        engine.setTapsPaused(false);
        ASSERT_TRUE(musicLevels.waitForCount(musicLevels.values().size() + 4));
        engine.stop();
    }
    AudioHardwareInstallBackend(nullptr);

    EXPECT_TRUE(probe->onIOThread);
    EXPECT_GT(probe->calls.load(), 40);
    EXPECT_EQ(probe->allocations.load(), 0u);
    EXPECT_EQ(probe->locks.load(), 0u);
}

