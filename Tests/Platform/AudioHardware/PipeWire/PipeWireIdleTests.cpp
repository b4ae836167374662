// An unseen program that nobody records sleeps: with the power hint set and
// no recorder of the virtual device, the program's node stands unlinked and
// the backend's threads stop waking while the router stays ready; the first
// recorder that links to the device gets the mix again. Stretches of time are
// counted in frames that the speakers' monitor records, the graph's own clock.

#include "NSUserDefaults.h"
#include "PipeWireAudioSystem.h"
#include "PipeWireTestSupport.h"
#include "Support/MainQueue.h"
#include "VLMAudioHardware.h"
#include "VLMAudioRouter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace PipeWireTest;

namespace {

// How often the backend's threads (its audio IO thread and its own loop)
// have gone to sleep and woken.
std::uint64_t backendWakeups()
{
    std::uint64_t total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name, line;
        std::getline(std::ifstream(task.path() / "comm"), name);
        std::ifstream status(task.path() / "status");
        while ((name == kAudioHardwareIOThreadName || name == "vlm-pipewire") && std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stoull(line.substr(24));
    }
    return total;
}

class PipeWireIdle : public testing::Test {
protected:
    // The backend's wake-ups while the speakers play `seconds` more.
    std::uint64_t wakeupsOver(double seconds)
    {
        const std::uint64_t before = backendWakeups();
        const std::size_t until = speakers.frames() + std::size_t(seconds * 48000);
        EXPECT_TRUE(runMainQueueUntil([&] { return speakers.frames() >= until; }));
        return backendWakeups() - before;
    }

    Recorder speakers{"test-speakers", true, 60.0};
};

TEST_F(PipeWireIdle, AnUnseenProgramThatNobodyRecordsRestsLinkedOrNotAndTheFirstRecorderBringsTheMixBack)
{
    NSUserDefaults::useFileForTesting(serverDirectory() + "/idle.ini");
    auto system = PipeWireAudioSystem::connect();
    ASSERT_TRUE(system);
    AudioHardwareInstallBackend(system);
    {
        // A node with no link of its own to lose rests too (here a tap with
        // nothing to tap; after a start, one placed before its links were made).
        CaptureBuffer tapped(30.0);
        const RunningTap tap = startTap(tapped, {"com.example.NotPlaying"});
        ASSERT_TRUE(runMainQueueUntil([&] { return tapped.frames() >= 48000 / 5; })) << "cycles of silence";
        VLMAudioHardware::setFavorsSavingPower(true);
        wakeupsOver(0.2);
        const std::size_t rested = tapped.frames();
        EXPECT_LE(wakeupsOver(2.0), 2u) << "no cycle, no stall to watch, no driver to look for";
        EXPECT_EQ(tapped.frames(), rested) << "no cycle while resting";
        VLMAudioHardware::setFavorsSavingPower(false);
        EXPECT_TRUE(runMainQueueUntil([&] { return tapped.frames() >= rested + 48000 / 5; })) << "seen again";
        stopTap(tap);
    }

    auto microphone = ToneSource::microphone("idle-mic", "Idle Microphone", 1000.0, 0.2f, 1);
    ASSERT_TRUE(microphone->waitUntilReady());
    ASSERT_TRUE(setDefaultInput("idle-mic"));
    auto music = ToneSource::application("com.tarnwick.velmora", 440.0);
    ASSERT_TRUE(music->waitUntilReady());
    auto router = VLMAudioRouter::create();
    router->start();
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status() == VLMAudioRouterStatus::ready(); }));
    EXPECT_GT(wakeupsOver(0.5), 10u) << "routing, the data thread wakes every cycle";

    VLMAudioHardware::setFavorsSavingPower(true);
    wakeupsOver(0.2);  // the pause takes a cycle or two
    EXPECT_LE(wakeupsOver(0.5), 2u) << "unseen and unrecorded: resting";
    EXPECT_EQ(router->status(), VLMAudioRouterStatus::ready()) << "sleeping is no failure";

    {
        Recorder recorder("com.tarnwick.VelmoraStudioConnect.Device", false, 4.0);
        ASSERT_TRUE(runMainQueueUntil([&] { return recorder.frames() >= 48000 * 2; }));
        const std::vector<float> samples = recorder.samples();
        // The last second: the recorder has long been linked by then.
        const std::vector<float> last(samples.end() - 2 * 48000, samples.end());
        EXPECT_NEAR(toneAmplitude(last, 2, 0, 48000.0, 440.0), 0.8 * 0.2, 0.03) << "the music again";
        EXPECT_GT(wakeupsOver(0.5), 10u);
    }
    wakeupsOver(0.2);
    EXPECT_LE(wakeupsOver(0.5), 2u) << "the recorder gone, it sleeps again";

    VLMAudioHardware::setFavorsSavingPower(false);
    wakeupsOver(0.2);
    EXPECT_GT(wakeupsOver(0.5), 10u) << "seen again: routing";
    router->stop();
    router.reset();
    drainMainQueue();
    AudioHardwareInstallBackend(nullptr);
    system.reset();
    NSUserDefaults::useFileForTesting("");
}

} // namespace
