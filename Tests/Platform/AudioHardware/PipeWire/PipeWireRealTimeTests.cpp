// The program's audio path on PipeWire's own data thread, while the whole
// router routes on a private server: nothing there allocates or locks.

#include "NSUserDefaults.h"
#include "PipeWireAudioSystem.h"
#include "PipeWireTestSupport.h"
#include "Support/AudioThreadHooks.h"
#include "Support/MainQueue.h"
#include "VLMAudioRouter.h"

#include <gtest/gtest.h>

using namespace PipeWireTest;

namespace {

TEST(PipeWireRealTime, RoutingNeitherAllocatesNorLocksOnTheDataThread)
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

    startCountingOnAudioThreads();
    const std::size_t from = recorder.frames();
    ASSERT_TRUE(runMainQueueUntil([&] { return recorder.frames() >= from + 48000; }));
    const AudioThreadCounts counts = stopCountingOnAudioThreads();
    EXPECT_EQ(counts.allocations, 0u);
    EXPECT_EQ(counts.locks, 0u);

    router->stop();
    router.reset();
    drainMainQueue();
    AudioHardwareInstallBackend(nullptr);
    NSUserDefaults::useFileForTesting("");
}

} // namespace
