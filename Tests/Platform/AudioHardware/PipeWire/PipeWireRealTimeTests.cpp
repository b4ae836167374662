// The program's audio path on PipeWire's own data thread, while the whole
// router routes on a private server: nothing there allocates, blocks or
// writes to stdio.

#include "NSUserDefaults.h"
#include "PipeWireAudioSystem.h"
#include "PipeWireTestSupport.h"
#include "Support/AudioThreadHooks.h"
#include "Support/MainQueue.h"
#include "VLMAudioRouter.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <pthread.h>
#include <semaphore.h>

using namespace PipeWireTest;

namespace {

// What the hooks count: each blocking call once, and stdio, on an audio
// thread only.
TEST(PipeWireRealTime, TheHooksSeeEveryBlockingCallAndStdioOnAnAudioThread)
{
    static const char* volatile nothing = "";  // volatile: not folded away
    startCountingOnAudioThreads();
    std::thread audio([] {
        pthread_setname_np(pthread_self(), kAudioHardwareIOThreadName);
        std::shared_mutex rw;
        rw.lock_shared();                 // 1
        rw.unlock_shared();
        while (!rw.try_lock()) {          // 2
        }
        rw.unlock();
        std::mutex mutex;
        std::unique_lock lock(mutex);     // 3
        std::condition_variable condition;
        condition.wait_for(lock, std::chrono::nanoseconds(1));  // 4
        lock.unlock();
        sem_t semaphore;
        sem_init(&semaphore, 0, 1);
        sem_wait(&semaphore);             // 5
        sem_destroy(&semaphore);
        std::fputs(nothing, stderr);
    });
    audio.join();
    std::thread other([] {
        std::mutex mutex;
        std::lock_guard lock(mutex);
        std::fputs(nothing, stderr);
    });
    other.join();
    const AudioThreadCounts counts = stopCountingOnAudioThreads();
#if !defined(__SANITIZE_THREAD__)
    EXPECT_EQ(counts.locks, 5u);
    EXPECT_EQ(counts.stdio, 1u);
#endif
}

TEST(PipeWireRealTime, RoutingNeitherAllocatesNorBlocksOnTheDataThread)
{
    NSUserDefaults::useFileForTesting(serverDirectory() + "/realtime.ini");
    auto system = PipeWireAudioSystem::connect();
    ASSERT_TRUE(system);
    AudioHardwareInstallBackend(system);
    auto mic = ToneSource::microphone("test-mic", "Test Microphone", 440.0, 0.2f, 1);
    ASSERT_TRUE(mic->waitUntilReady());
    ASSERT_TRUE(setDefaultInput("test-mic"));
    auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
    ASSERT_TRUE(velmora->waitUntilReady());

    auto router = VLMAudioRouter::create();
    router->start();
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status().kind() == VLMAudioRouterStatus::Kind::ready; }));
    // Counted once the links are made and the sound flows to a recorder.
    Recorder recorder("com.tarnwick.VelmoraStudioConnect.Device", false);
    ASSERT_TRUE(runMainQueueUntil([&] { return recorder.frames() >= 4800; }));

    // One more IOProc beside the router's, to see which thread runs them:
    // counting on a thread that is not the data thread would count nothing.
    std::atomic<int> onAudio{0}, elsewhere{0};
    AudioDeviceIOProcID probe = nullptr;
    const AudioObjectID microphone = deviceWithUID("test-mic");
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&probe, microphone, nullptr,
                                                 [&](const AudioTimeStamp*, const AudioBufferList*,
                                                     const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*) {
                                                     (onAudioThread() ? onAudio : elsewhere).fetch_add(1);
                                                 }),
              0);
    ASSERT_EQ(AudioDeviceStart(microphone, probe), 0);

    startCountingOnAudioThreads();
    const std::size_t from = recorder.frames();
    ASSERT_TRUE(runMainQueueUntil([&] { return recorder.frames() >= from + 48000; }));
    const AudioThreadCounts counts = stopCountingOnAudioThreads();
    EXPECT_GT(onAudio.load(), 0);
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_EQ(counts.allocations, 0u);
    EXPECT_EQ(counts.locks, 0u);
    EXPECT_EQ(counts.stdio, 0u);

    EXPECT_EQ(AudioDeviceStop(microphone, probe), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(microphone, probe), 0);
    router->stop();
    router.reset();
    drainMainQueue();
    AudioHardwareInstallBackend(nullptr);
    NSUserDefaults::useFileForTesting("");
}

} // namespace
