#include "Support/MainQueue.h"
#include "Support/SimulatedSystemTest.h"
#include "VLMAudioDeviceMonitor.h"

namespace {

class VLMAudioDeviceMonitorTest : public SimulatedSystemTest {
protected:
    std::size_t registrations() const { return calls(SimulatedCall::addPropertyListener).size(); }
};

TEST_F(VLMAudioDeviceMonitorTest, DeviceAndDefaultChangesReachTheHandlerOnTheMainThread)
{
    VLMAudioDeviceMonitor monitor;
    int calls = 0;
    ASSERT_TRUE(monitor.start([&] {
        EXPECT_TRUE(dispatch_is_main_thread());
        ++calls;
    }));
    const AudioObjectID mic = system->addDevice(SimulatedDeviceDescription::microphone("m", "Mic"));
    // The first input device also becomes the default: two changes.
    ASSERT_TRUE(runMainQueueUntil([&] { return calls == 2; }));
    system->setDefaultInputDevice(0);
    ASSERT_TRUE(runMainQueueUntil([&] { return calls == 3; }));
    system->removeDevice(mic);
    ASSERT_TRUE(runMainQueueUntil([&] { return calls == 4; }));
}

TEST_F(VLMAudioDeviceMonitorTest, StartingTwiceRegistersOnceAndKeepsTheFirstHandler)
{
    VLMAudioDeviceMonitor monitor;
    int first = 0, second = 0;
    EXPECT_TRUE(monitor.start([&] { ++first; }));
    EXPECT_TRUE(monitor.start([&] { ++second; }));
    EXPECT_EQ(registrations(), 3u);
    EXPECT_EQ(system->listenerCount(), 3u);
    system->setDefaultInputDevice(0);
    ASSERT_TRUE(runMainQueueUntil([&] { return first == 1; }));
    EXPECT_EQ(second, 0);
}

TEST_F(VLMAudioDeviceMonitorTest, AFailedSecondRegistrationIsRolledBack)
{
    VLMAudioDeviceMonitor monitor;
    system->injectFault({SimulatedCall::addPropertyListener, kAudioObjectSystemObject,
                         kAudioHardwarePropertyDefaultInputDevice, kAudioHardwareUnspecifiedError, false, 1});
    EXPECT_FALSE(monitor.start([] {}));
    EXPECT_FALSE(monitor.isListening());
    EXPECT_EQ(system->listenerCount(), 0u);
    EXPECT_EQ(calls(SimulatedCall::removePropertyListener).size(), 1u);

    // A later start tries every registration afresh.
    EXPECT_TRUE(monitor.start([] {}));
    EXPECT_EQ(system->listenerCount(), 3u);
}

TEST_F(VLMAudioDeviceMonitorTest, AFailedFirstRegistrationRegistersNothing)
{
    VLMAudioDeviceMonitor monitor;
    system->injectFault({SimulatedCall::addPropertyListener, kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
                         kAudioHardwareUnspecifiedError, false, 1});
    EXPECT_FALSE(monitor.start([] {}));
    EXPECT_EQ(registrations(), 1u);
    EXPECT_TRUE(calls(SimulatedCall::removePropertyListener).empty());
}

TEST_F(VLMAudioDeviceMonitorTest, StopRemovesTheVeryListenersAndSilencesTheHandler)
{
    int calls = 0;
    {
        VLMAudioDeviceMonitor monitor;
        monitor.stop();
        EXPECT_TRUE(system->journal().empty()) << "stopping an idle monitor calls nothing";

        ASSERT_TRUE(monitor.start([&] { ++calls; }));
        monitor.stop();
        EXPECT_EQ(system->listenerCount(), 0u);
        for (const auto& entry : system->journal())
            EXPECT_EQ(entry.status, 0) << entry.description();
        system->setDefaultInputDevice(0);
        drainMainQueue();
        EXPECT_EQ(calls, 0);

        ASSERT_TRUE(monitor.start([&] { ++calls; })) << "a stopped monitor can start again";
    }
    EXPECT_EQ(system->listenerCount(), 0u) << "destruction stops the monitor";
}

} // namespace
