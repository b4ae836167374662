// The real-time clock: IO threads call IOProcs while the main thread changes
// the world around them. Runs under ThreadSanitizer in CI.

#include "SimulatedAudioSystem.h"
#include "Support/MainQueue.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

TEST(SimulatedRealTimeClock, IOThreadsRunWhileTheWorldChanges)
{
    auto system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::realTime);
    AudioHardwareInstallBackend(system);

    auto description = SimulatedDeviceDescription::microphone("m", "Mic", 1, 48000, SimulatedSignals::constant(0.5f));
    description.bufferFrameSize = 64;
    const AudioObjectID mic = system->addDevice(description);
    std::atomic<int> cycles{0};
    std::atomic<bool> sawSignal{false};
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, mic, nullptr,
                                                 [&](auto, const AudioBufferList* input, auto, auto, auto) {
                                                     if (static_cast<const float*>(input->mBuffers[0].mData)[0] == 0.5f)
                                                         sawSignal = true;
                                                     ++cycles;
                                                 }),
              0);
    ASSERT_EQ(AudioDeviceStart(mic, id), 0);
    ASSERT_TRUE(runMainQueueUntil([&] { return cycles > 5; }));

    // Changes pause and resume the IO threads; cycles go on afterwards.
    for (int i = 0; i < 20; ++i) {
        system->addApplication("app" + std::to_string(i), SimulatedSignals::silence());
        system->addDevice(SimulatedDeviceDescription::microphone("x" + std::to_string(i), "X"));
    }
    const int before = cycles;
    ASSERT_TRUE(runMainQueueUntil([&] { return cycles > before + 5; }));
    EXPECT_TRUE(sawSignal);

    ASSERT_EQ(AudioDeviceStop(mic, id), 0);
    const int stopped = cycles;
    drainMainQueue();
    EXPECT_EQ(cycles, stopped) << "no cycle runs after the stop returns";
    EXPECT_EQ(AudioDeviceDestroyIOProcID(mic, id), 0);
    AudioHardwareInstallBackend(nullptr);
}

} // namespace
