// While the graph runs on the real-time clock, the audio threads (the
// captures' IOProcs and the engine's render, on the simulated system's IO
// threads) never allocate and never lock; nor does the engine's tap thread
// per buffer, nor the main thread when it takes the levels for the meters.

#include "Support/RouterTest.h"
#include "Support/StereoReader.h"
#include "VLMAudioBacklogLimiter.h"
#include "Support/AudioThreadHooks.h"
#include "Support/MainQueue.h"

#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(AudioThreadHooks, SeeAllocationsAndLocksOnAudioThreads)
{
    startCountingOnAudioThreads();
    std::thread audio([] {
        pthread_setname_np(pthread_self(), SimulatedAudioSystem::ioThreadName);
        int* volatile escaped = new int(7);  // volatile: the pair may not be optimised away
        delete escaped;
        std::mutex mutex;
        mutex.lock();
        mutex.unlock();
    });
    audio.join();
    std::thread other([] { delete new int(8); });
    other.join();
    const AudioThreadCounts counts = stopCountingOnAudioThreads();
    EXPECT_EQ(counts.allocations, 1u);
#if !defined(__SANITIZE_THREAD__)
    EXPECT_EQ(counts.locks, 1u);
#endif
}

// The limiter's every path, on an audio thread: the first read's drop, a
// window's skip of a backlog that a producer ahead of its reader builds up,
// and the reserve kept back when late deliveries make a read run dry.
TEST(VLMAudioBacklogLimiterRealTime, NeitherDropNorSkipAllocatesOrLocks)
{
    constexpr std::uint32_t frames = 256;
    RingBufferHolder ring;
    std::vector<float> input(frames, 0.25f), left(frames), right(frames);
    AudioBufferList inputList{1, {{1, frames * 4, input.data()}}};
    struct {
        AudioBufferList list;
        AudioBuffer second;
    } output{{2, {{1, frames * 4, left.data()}}}, {1, frames * 4, right.data()}};
    VLMAudioBacklogLimiter limiter;

    startCountingOnAudioThreads();
    std::thread audio([&] {
        pthread_setname_np(pthread_self(), SimulatedAudioSystem::ioThreadName);
        for (int i = 0; i < 8; ++i)
            VLMAudioRingBufferWrite(ring.get(), &inputList, frames);
        for (int cycle = 0; cycle < 1000; ++cycle) {
            // Deliveries now and then one or three cycles late (the limiter
            // keeps a reserve), and one too many (it skips).
            int deliveries = cycle % 50 == 25 ? 0 : cycle % 50 == 26 ? 2 : 1;
            if (cycle % 200 >= 123 && cycle % 200 <= 125)
                deliveries = 0;
            if (cycle % 200 == 126)
                deliveries = 4;
            deliveries += cycle % 100 == 0;
            for (int delivery = 0; delivery < deliveries; ++delivery)
                VLMAudioRingBufferWrite(ring.get(), &inputList, frames);
            VLMAudioRingBufferRead(ring.get(), &output.list, limiter.willRead(ring.get(), frames));
        }
    });
    audio.join();
    const AudioThreadCounts counts = stopCountingOnAudioThreads();
    EXPECT_EQ(counts.allocations, 0u);
    EXPECT_EQ(counts.locks, 0u);
    EXPECT_GT(limiter.skippedFrames(), 7u * frames) << "skipped after the first read too";
}

class VLMAudioRouterRealTimeTest : public RouterTest {
protected:
    VLMAudioRouterRealTimeTest() : RouterTest(SimulatedClock::realTime) {}

    std::size_t recordedFrames() const { return system->recordedOutput(virtualDevice).size() / 2; }
};

TEST_F(VLMAudioRouterRealTimeTest, TheRunningGraphNeitherAllocatesNorLocksOnAudioThreads)
{
    system->addApplication("com.tarnwick.velmora", SimulatedSignals::sine(440, 0.5f));
    system->removeDevice(microphone);
    microphone = addMicrophone("built-in", "Built-in Microphone", 16000, SimulatedSignals::sine(1000, 0.5f));
    makeRouter().start();
    ASSERT_EQ(router->status(), VLMAudioRouterStatus::ready());
    // Past the first cycles (and the first levels), then measure a stretch of steady running.
    ASSERT_TRUE(runMainQueueUntil([&] {
        router->deliverMeterLevels();
        return recordedFrames() > 4800 && recorder->soundingLevels(VLMAudioSource::microphone) > 0;
    }));
    recorder->levels.reserve(recorder->levels.size() + 10000);  // the recorder's own growth is not the router's
    startCountingOnAudioThreads();
    const std::size_t measuredFrom = recordedFrames();
    const std::size_t levelsBefore = recorder->levels.size();
    std::uint64_t mainThreadAllocations = 0, mainThreadLocks = 0;
    ASSERT_TRUE(runMainQueueUntil([&] {
        const AudioThreadCounts before = countsOnThisThread();
        router->deliverMeterLevels();
        const AudioThreadCounts after = countsOnThisThread();
        mainThreadAllocations += after.allocations - before.allocations;
        mainThreadLocks += after.locks - before.locks;
        return recordedFrames() > measuredFrom + 24000 && recorder->levels.size() > levelsBefore + 4;
    }));
    const AudioThreadCounts counts = stopCountingOnAudioThreads();
    EXPECT_EQ(counts.allocations, 0u);
    EXPECT_EQ(counts.locks, 0u);
    const AudioThreadCounts tapThread = countedOnTapThread();
    EXPECT_EQ(tapThread.allocations, 0u) << "the tap thread, per buffer";
    EXPECT_EQ(tapThread.locks, 0u) << "the tap thread, per buffer";
    EXPECT_EQ(mainThreadAllocations, 0u) << "the main thread, per level";
    EXPECT_EQ(mainThreadLocks, 0u) << "the main thread, per level";
}

} // namespace
