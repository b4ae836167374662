// Which microphone the router uses: the system default or a picked one, and
// how it follows hardware changes.

#include "Support/MainQueue.h"
#include "Support/RouterTest.h"

#include <gmock/gmock.h>

using testing::ElementsAre;
using Status = VLMAudioRouterStatus;

namespace {

class VLMAudioRouterMicrophoneTest : public RouterTest {
protected:
    VLMAudioRouterMicrophoneTest()
    {
        usb = addMicrophone("usb", "USB Microphone");
        makeRouter().start();
        drainMainQueue();  // the hardware changes above reach no monitor: it started after them
        recorder->statuses.clear();
    }

    // Lets the monitor's notifications run.
    void settle() { drainMainQueue(); }

    // The number of graph starts since the last check.
    int graphStarts()
    {
        const auto count = std::count(recorder->statuses.begin(), recorder->statuses.end(), Status::starting());
        recorder->statuses.clear();
        return int(count);
    }

    AudioObjectID usb = 0;
};

TEST_F(VLMAudioRouterMicrophoneTest, ListsMicrophonesInOrderAndKnowsTheDefault)
{
    ASSERT_EQ(router->microphones().size(), 2u);
    EXPECT_EQ(router->microphones()[0].uid, "built-in");
    EXPECT_EQ(router->microphones()[1].uid, "usb");
    EXPECT_EQ(router->defaultMicrophoneUID(), "built-in");
    EXPECT_GE(recorder->microphoneUpdates, 2) << "after the refresh and after the graph start";
}

TEST_F(VLMAudioRouterMicrophoneTest, FollowsTheSystemDefaultWhenItChanges)
{
    system->setDefaultInputDevice(usb);
    settle();
    EXPECT_EQ(graphStarts(), 1);
    EXPECT_EQ(router->selectedMicrophoneUID(), "usb");
    EXPECT_TRUE(router->usesSystemDefaultMicrophone());
    EXPECT_EQ(system->ioProcCount(usb), 1u);
    EXPECT_EQ(system->ioProcCount(microphone), 0u);
}

TEST_F(VLMAudioRouterMicrophoneTest, AChangeThatKeepsTheDefaultStartsNothing)
{
    addMicrophone("other", "Another Microphone");
    settle();
    EXPECT_EQ(graphStarts(), 0);
    EXPECT_EQ(router->microphones().size(), 3u) << "the list is refreshed all the same";
}

TEST_F(VLMAudioRouterMicrophoneTest, APickedMicrophoneStaysUntilItIsUnplugged)
{
    router->selectMicrophone("usb");
    EXPECT_EQ(graphStarts(), 1);
    EXPECT_FALSE(router->usesSystemDefaultMicrophone());

    const AudioObjectID other = addMicrophone("other", "Another Microphone");
    system->removeDevice(other);
    system->setDefaultInputDevice(microphone);
    settle();
    EXPECT_EQ(graphStarts(), 0) << "other devices coming and going, and the default moving, change nothing";

    system->removeDevice(usb);
    settle();
    EXPECT_EQ(graphStarts(), 1);
    EXPECT_EQ(router->selectedMicrophoneUID(), "built-in");
    EXPECT_TRUE(router->usesSystemDefaultMicrophone()) << "falls back to the system default";
    EXPECT_EQ(router->status(), Status::ready());
}

TEST_F(VLMAudioRouterMicrophoneTest, AMicrophonePluggedInAgainUnderANewIDIsCapturedAgain)
{
    system->removeDevice(microphone);
    settle();
    const AudioObjectID again = addMicrophone("built-in", "Built-in Microphone");
    system->setDefaultInputDevice(again);
    settle();
    EXPECT_EQ(graphStarts(), 1);
    EXPECT_EQ(router->selectedMicrophoneUID(), "built-in");
    EXPECT_EQ(system->ioProcCount(again), 1u);
    EXPECT_EQ(router->status(), Status::ready());
}

TEST_F(VLMAudioRouterMicrophoneTest, AVanishedPickWithNoFallbackFailsButKeepsTheOldGraph)
{
    router->selectMicrophone("usb");
    system->injectFault({SimulatedCall::getPropertyData, kAudioObjectSystemObject,
                         kAudioHardwarePropertyDefaultInputDevice, -5});
    system->removeDevice(usb);
    settle();
    // The refresh cannot read the default either, so the list is empty; the fallback fails.
    EXPECT_EQ(router->status(), Status::failed("Finding the default microphone failed (-5)."));
    EXPECT_TRUE(router->microphones().empty());
    EXPECT_EQ(system->runningIOProcCount(virtualDevice), 1u) << "the old graph runs on until the next start";
}

TEST_F(VLMAudioRouterMicrophoneTest, APickedMicrophoneIsPickedAgainWhenTheVirtualDeviceReturns)
{
    router->selectMicrophone("usb");
    system->removeDevice(virtualDevice);
    settle();
    EXPECT_EQ(router->status(), Status::driverMissing());
    EXPECT_EQ(system->ioProcCount(usb), 0u);
    graphStarts();

    virtualDevice = addVirtualDevice();
    settle();
    EXPECT_EQ(graphStarts(), 1);
    EXPECT_EQ(router->status(), Status::ready());
    EXPECT_EQ(router->selectedMicrophoneUID(), "usb");
    EXPECT_FALSE(router->usesSystemDefaultMicrophone());
    EXPECT_EQ(system->runningIOProcCount(usb), 1u);
}

TEST_F(VLMAudioRouterMicrophoneTest, PickingTheMicrophoneInUseOnlyStopsFollowingTheDefault)
{
    const int updates = recorder->microphoneUpdates;
    router->selectMicrophone("built-in");
    EXPECT_EQ(graphStarts(), 0);
    EXPECT_FALSE(router->usesSystemDefaultMicrophone());
    EXPECT_EQ(recorder->microphoneUpdates, updates + 1);
}

TEST_F(VLMAudioRouterMicrophoneTest, ChoosingTheSystemDefaultAgain)
{
    router->selectSystemDefaultMicrophone();
    EXPECT_EQ(graphStarts(), 0) << "already following the default";

    router->selectMicrophone("usb");
    EXPECT_EQ(graphStarts(), 1);
    router->selectSystemDefaultMicrophone();
    EXPECT_EQ(graphStarts(), 1);
    EXPECT_EQ(router->selectedMicrophoneUID(), "built-in");
    EXPECT_TRUE(router->usesSystemDefaultMicrophone());

    router->selectMicrophone("built-in");
    router->selectSystemDefaultMicrophone();
    EXPECT_EQ(graphStarts(), 1) << "same device, but switching back to following the default restarts";
}

TEST_F(VLMAudioRouterMicrophoneTest, ADefaultOutsideTheListMeansTheFirstListedMicrophone)
{
    system->setDefaultInputDevice(virtualDevice);  // inputs of its own, never listed
    settle();
    EXPECT_EQ(router->defaultMicrophoneUID(), std::nullopt);
    EXPECT_EQ(graphStarts(), 0);
    router->start();
    EXPECT_EQ(router->defaultMicrophoneUID(), "built-in");
    EXPECT_EQ(router->selectedMicrophoneUID(), "built-in");
}

TEST_F(VLMAudioRouterMicrophoneTest, HardwareChangesWhileAccessIsDeniedOnlyRefreshTheList)
{
    system->setMicrophoneAuthorization(AVAuthorizationStatus::denied);
    const int updates = recorder->microphoneUpdates;
    system->setDefaultInputDevice(usb);
    settle();
    EXPECT_EQ(graphStarts(), 0);
    EXPECT_GT(recorder->microphoneUpdates, updates);
    EXPECT_EQ(router->defaultMicrophoneUID(), "usb");
}

TEST_F(VLMAudioRouterMicrophoneTest, AnUnreadableSystemEmptiesTheListSilently)
{
    system->injectFault({SimulatedCall::getPropertyData, kAudioObjectSystemObject,
                         kAudioHardwarePropertyDefaultInputDevice, -1, false, 1});
    router->refreshMicrophones();
    EXPECT_TRUE(router->microphones().empty());
    EXPECT_EQ(router->defaultMicrophoneUID(), std::nullopt);
    EXPECT_TRUE(recorder->statuses.empty());
    EXPECT_EQ(router->selectedMicrophoneUID(), "built-in") << "a refresh never changes the selection";
}

} // namespace
