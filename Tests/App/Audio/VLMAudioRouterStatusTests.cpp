// The router's status: every transition, every graph-start failure and the
// permission paths, on the simulated audio system.

#include "AVAudioEngine.h"
#include "Support/MainQueue.h"
#include "Support/RouterTest.h"
#include "VLMFatalError.h"

#include <gmock/gmock.h>

using testing::ElementsAre;
using Status = VLMAudioRouterStatus;

namespace {

const char* const unavailable = "The selected microphone is no longer available.";

class VLMAudioRouterStatusTest : public RouterTest {
protected:
    VLMAudioRouterStatusTest()
    {
        system->addApplication("com.tarnwick.velmora", SimulatedSignals::sine(440, 0.5f));
    }

    // Starts the router and expects the status to pass through starting to `last`.
    void expectStartEndsIn(const Status& last)
    {
        makeRouter().start();
        EXPECT_THAT(recorder->statuses, ElementsAre(Status::starting(), last));
        EXPECT_EQ(router->status(), last);
    }

    // No IOProc, tap or aggregate device left, and both meters put back to 0.
    void expectNothingLeftRunning()
    {
        EXPECT_EQ(liveAudioObjects(), 0u) << testing::PrintToString(system->journalDescriptions());
        EXPECT_EQ(recorder->lastLevel(VLMAudioSource::velmora), 0.0f);
        EXPECT_EQ(recorder->lastLevel(VLMAudioSource::microphone), 0.0f);
    }
};

TEST_F(VLMAudioRouterStatusTest, WithAccessTheGraphRunsAndStatusIsReady)
{
    expectStartEndsIn(Status::ready());
    EXPECT_EQ(router->selectedMicrophoneUID(), "built-in");
    EXPECT_EQ(router->defaultMicrophoneUID(), "built-in");
    EXPECT_TRUE(router->usesSystemDefaultMicrophone());
    // Tap, capture and engine: one IOProc each.
    EXPECT_EQ(system->ioProcCountOnAllDevices(), 3u);
    EXPECT_EQ(system->runningIOProcCount(virtualDevice), 1u);
    EXPECT_EQ(system->runningIOProcCount(microphone), 1u);
}

TEST_F(VLMAudioRouterStatusTest, EveryStatusGoesToTheDelegateThenTheCallback)
{
    std::vector<std::string> order;
    struct Delegate : RecordingDelegate {
        std::vector<std::string>* order;
        void audioRouter(VLMAudioRouter& r, const Status& s) override
        {
            order->push_back("delegate");
            RecordingDelegate::audioRouter(r, s);
        }
        using RecordingDelegate::audioRouter;
    };
    auto delegate = std::make_shared<Delegate>();
    delegate->order = &order;
    makeRouter();
    router->delegate = delegate;
    router->statusDidChange = [&](const Status&) { order.push_back("callback"); };
    router->start();
    EXPECT_THAT(order, ElementsAre("delegate", "callback", "delegate", "callback"));
}

TEST_F(VLMAudioRouterStatusTest, DeniedOrRestrictedAccessStopsWithPermissionDenied)
{
    for (auto access : {AVAuthorizationStatus::denied, AVAuthorizationStatus::restricted}) {
        system->setMicrophoneAuthorization(access);
        recorder->statuses.clear();
        makeRouter().start();
        EXPECT_THAT(recorder->statuses, ElementsAre(Status::microphonePermissionDenied()));
        EXPECT_EQ(liveAudioObjects(), 0u);
        EXPECT_EQ(system->microphoneAccessRequests(), 0);
    }
}

TEST_F(VLMAudioRouterStatusTest, UndeterminedAccessWaitsForTheAnswer)
{
    system->setMicrophoneAuthorization(AVAuthorizationStatus::notDetermined);
    system->setMicrophoneAccessAnswer(true);
    makeRouter().start();
    EXPECT_EQ(system->microphoneAccessRequests(), 1);
    EXPECT_EQ(router->status(), Status::starting()) << "nothing changes before the user answers";
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status() == Status::ready(); }));
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::starting(), Status::ready()));
}

TEST_F(VLMAudioRouterStatusTest, ARefusedRequestEndsInPermissionDenied)
{
    system->setMicrophoneAuthorization(AVAuthorizationStatus::notDetermined);
    system->setMicrophoneAccessAnswer(false);
    makeRouter().start();
    ASSERT_TRUE(runMainQueueUntil([&] { return !recorder->statuses.empty(); }));
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::microphonePermissionDenied()));
    EXPECT_EQ(liveAudioObjects(), 0u);
}

TEST_F(VLMAudioRouterStatusTest, AnAnswerAfterTheRouterIsGoneDoesNothing)
{
    system->setMicrophoneAuthorization(AVAuthorizationStatus::notDetermined);
    makeRouter().start();
    router.reset();
    drainMainQueue();
    ASSERT_TRUE(runMainQueueUntil([&] {
        return system->microphoneAuthorizationStatus() == AVAuthorizationStatus::authorized;
    }));
    drainMainQueue();
    EXPECT_EQ(liveAudioObjects(), 0u);
}

TEST_F(VLMAudioRouterStatusTest, AMissingVirtualDeviceIsDriverMissingWithNothingStarted)
{
    system->removeDevice(virtualDevice);
    expectStartEndsIn(Status::driverMissing());
    EXPECT_EQ(router->selectedMicrophoneUID(), "built-in");
    EXPECT_EQ(liveAudioObjects(), 0u);
}

TEST_F(VLMAudioRouterStatusTest, InstallingTheVirtualDeviceEndsDriverMissingWithoutAnotherStartCall)
{
    system->removeDevice(virtualDevice);
    expectStartEndsIn(Status::driverMissing());
    virtualDevice = addVirtualDevice();
    drainMainQueue();
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::starting(), Status::driverMissing(), Status::starting(),
                                                Status::ready()));
    EXPECT_EQ(system->runningIOProcCount(virtualDevice), 1u);
}

TEST_F(VLMAudioRouterStatusTest, AVirtualDeviceThatGoesWhileRunningIsDriverMissingUntilItReturns)
{
    makeRouter().start();
    recorder->statuses.clear();
    system->removeDevice(virtualDevice);
    drainMainQueue();
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::driverMissing())) << "not ready while nothing is heard";
    expectNothingLeftRunning();

    virtualDevice = addVirtualDevice();
    drainMainQueue();
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::driverMissing(), Status::starting(), Status::ready()));
    EXPECT_EQ(system->runningIOProcCount(virtualDevice), 1u);
}

TEST_F(VLMAudioRouterStatusTest, AVirtualDeviceLookupThatFailsWhileRunningStopsWithTheError)
{
    makeRouter().start();
    system->injectFault({SimulatedCall::getPropertyData, kAudioObjectSystemObject,
                         kAudioHardwarePropertyTranslateUIDToDevice, kAudioHardwareUnspecifiedError});
    addMicrophone("usb", "USB Microphone");
    drainMainQueue();
    EXPECT_EQ(router->status(), Status::failed("Finding the Velmora Studio Connect device failed (\"what\")."));
    expectNothingLeftRunning();
}

// A sound server restart looks like every device going and coming back under
// new ids, in whatever order the server announces them.
TEST_F(VLMAudioRouterStatusTest, AfterTheSoundServerRestartsTheSameMicrophoneIsRoutedAgain)
{
    makeRouter().start();
    for (bool virtualDeviceFirst : {true, false}) {
        SCOPED_TRACE(virtualDeviceFirst ? "virtual device back first" : "microphone back first");
        const AudioObjectID oldMicrophone = microphone;
        system->removeDevice(microphone);
        system->removeDevice(virtualDevice);
        drainMainQueue();
        EXPECT_EQ(router->status(), Status::failed(unavailable)) << "what a start with no device at all says";
        expectNothingLeftRunning();

        if (virtualDeviceFirst) {
            virtualDevice = addVirtualDevice();
            drainMainQueue();
            EXPECT_EQ(router->status(), Status::failed(unavailable)) << "no microphone yet";
            microphone = addMicrophone("built-in", "Built-in Microphone");
        } else {
            microphone = addMicrophone("built-in", "Built-in Microphone");
            drainMainQueue();
            EXPECT_EQ(router->status(), Status::driverMissing());
            virtualDevice = addVirtualDevice();
        }
        drainMainQueue();
        EXPECT_EQ(router->status(), Status::ready());
        EXPECT_NE(microphone, oldMicrophone);
        EXPECT_EQ(router->selectedMicrophoneUID(), "built-in");
        EXPECT_EQ(system->runningIOProcCount(microphone), 1u) << "capturing from the microphone's new id";
        EXPECT_EQ(system->runningIOProcCount(virtualDevice), 1u);
    }
}

TEST_F(VLMAudioRouterStatusTest, NoMicrophoneAtAllFailsWithoutTeardown)
{
    system->removeDevice(microphone);
    makeRouter().start();
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::failed(unavailable)));
    EXPECT_TRUE(recorder->levels.empty()) << "no teardown, so no zeroed meters";
}

// No audio server at all: every hardware query fails with "not running".
// The status says so (not that the microphone went), and the server's
// return starts the graph by itself.
TEST_F(VLMAudioRouterStatusTest, WithoutAnAudioServerTheStatusNamesItAndItsReturnStartsTheGraph)
{
    for (AudioObjectPropertySelector selector : {kAudioHardwarePropertyDevices, kAudioHardwarePropertyDefaultInputDevice,
                                                 kAudioHardwarePropertyTranslateUIDToDevice})
        system->injectFault({SimulatedCall::getPropertyData, kAudioObjectSystemObject, selector,
                             kAudioHardwareNotRunningError});
    makeRouter().start();
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::failed(VLMAudioRouter::audioServerNotRunningMessage)));

    system->clearFaults();
    addMicrophone("usb", "USB Microphone");  // the server's devices appear
    drainMainQueue();
    EXPECT_EQ(router->status(), Status::ready());
}

// The server goes away while routing: the graph stops with the same message.
TEST_F(VLMAudioRouterStatusTest, AServerThatStopsWhileRoutingStopsTheGraphWithItsOwnMessage)
{
    makeRouter().start();
    ASSERT_EQ(router->status(), Status::ready());
    for (AudioObjectPropertySelector selector : {kAudioHardwarePropertyDevices, kAudioHardwarePropertyDefaultInputDevice,
                                                 kAudioHardwarePropertyTranslateUIDToDevice})
        system->injectFault({SimulatedCall::getPropertyData, kAudioObjectSystemObject, selector,
                             kAudioHardwareNotRunningError});
    system->removeDevice(microphone);
    drainMainQueue();
    EXPECT_EQ(router->status(), Status::failed(VLMAudioRouter::audioServerNotRunningMessage));
    expectNothingLeftRunning();
}

// With neither a microphone nor the virtual device, a microphone that is
// plugged in (and not made the default) ends the wait for one: the graph
// start then finds the device missing.
TEST_F(VLMAudioRouterStatusTest, AMicrophoneArrivingWhileNoneIsListedStartsTheGraph)
{
    system->removeDevice(microphone);
    system->removeDevice(virtualDevice);
    makeRouter().start();
    ASSERT_EQ(router->status(), Status::failed(unavailable));
    addMicrophone("usb", "USB Microphone");
    drainMainQueue();
    EXPECT_EQ(router->status(), Status::driverMissing());
    EXPECT_EQ(router->selectedMicrophoneUID(), "usb");
}

TEST_F(VLMAudioRouterStatusTest, AnUnreadableDefaultInputFails)
{
    system->injectFault({SimulatedCall::getPropertyData, kAudioObjectSystemObject,
                         kAudioHardwarePropertyDefaultInputDevice, -42, false, 2});
    makeRouter().start();
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::failed("Finding the default microphone failed (-42).")));
}

// Every step of building the graph that can fail, through the router: each
// ends in its message, with nothing left running and both meters at 0. Rows
// marked `switching` fail while switching from a running graph to a second
// microphone, for faults that would already stop the device list at start.
struct GraphFailure {
    const char* name;
    std::function<void(SimulatedAudioSystem&, AudioObjectID virtualDevice, AudioObjectID microphone)> arrange;
    std::string message;
    bool switching = false;
};

class VLMAudioRouterGraphFailureTest : public VLMAudioRouterStatusTest,
                                       public testing::WithParamInterface<GraphFailure> {};

TEST_P(VLMAudioRouterGraphFailureTest, EndsInFailedWithItsMessageAndNothingRunning)
{
    const GraphFailure& row = GetParam();
    std::string expectedSelection = "built-in";
    if (row.switching) {
        const AudioObjectID usb = addMicrophone("usb", "USB Microphone");
        makeRouter().start();
        ASSERT_EQ(router->status(), Status::ready());
        recorder->statuses.clear();
        row.arrange(*system, virtualDevice, usb);
        router->selectMicrophone("usb");
        EXPECT_THAT(recorder->statuses, ElementsAre(Status::starting(), Status::failed(row.message)));
        expectedSelection = "usb";
    } else {
        row.arrange(*system, virtualDevice, microphone);
        expectStartEndsIn(Status::failed(row.message));
    }
    expectNothingLeftRunning();
    EXPECT_EQ(router->selectedMicrophoneUID(), expectedSelection);
}

SimulatedFault fault(SimulatedCall call, std::optional<AudioObjectID> object,
                     std::optional<AudioObjectPropertySelector> selector, OSStatus status)
{
    return {call, object, selector, status};
}

SimulatedFault withoutResult(SimulatedCall call, std::optional<AudioObjectID> object,
                             std::optional<AudioObjectPropertySelector> selector)
{
    return {call, object, selector, 0, true};
}

// A row whose arrangement injects one fault; `onMicrophone` aims it at the microphone.
GraphFailure faultRow(const char* name, SimulatedFault fault, std::string message, bool onMicrophone = false,
                      bool switching = false)
{
    return {name,
            [fault, onMicrophone](SimulatedAudioSystem& s, AudioObjectID, AudioObjectID mic) {
                SimulatedFault aimed = fault;
                if (onMicrophone)
                    aimed.object = mic;
                s.injectFault(aimed);
            },
            std::move(message), switching};
}

using C = SimulatedCall;

const GraphFailure graphFailures[] = {
    faultRow("LookupThrows",
             fault(C::getPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyTranslateUIDToDevice,
                   kAudioHardwareUnspecifiedError),
             "Finding the Velmora Studio Connect device failed (\"what\")."),
    // The process tap, step by step.
    faultRow("TapRefused", fault(C::createProcessTap, std::nullopt, std::nullopt, kAudioDevicePermissionsError),
             "Capturing Velmora Studio and Music failed (\"!hog\")."),
    faultRow("TapFormatUnreadable", fault(C::getPropertyData, std::nullopt, kAudioTapPropertyFormat, -20),
             "Reading the captured audio format failed (-20)."),
    faultRow("TapUIDUnreadable", fault(C::getPropertyData, std::nullopt, kAudioTapPropertyUID, -21),
             "Reading an audio device property failed (-21)."),
    faultRow("TapWithoutUID", withoutResult(C::getPropertyData, std::nullopt, kAudioTapPropertyUID),
             "Reading the audio capture identifier failed (\"what\")."),
    faultRow("CaptureDeviceRefused", fault(C::createAggregateDevice, std::nullopt, std::nullopt, -22),
             "Creating the private audio capture device failed (-22)."),
    faultRow("TapIOProcRefused", fault(C::createIOProc, std::nullopt, std::nullopt, -23),
             "Preparing captured audio failed (-23)."),
    faultRow("TapIOProcWithoutID", withoutResult(C::createIOProc, std::nullopt, std::nullopt),
             "Preparing captured audio failed (0)."),
    faultRow("TapDoesNotStart", fault(C::startDevice, std::nullopt, std::nullopt, -24),
             "Starting captured audio failed (-24)."),
    {"TapRateUnsupported", [](SimulatedAudioSystem& s, AudioObjectID, AudioObjectID) { s.setTapSampleRate(96000); },
     "The current audio rate (96000 Hz) is not supported."},
    {"TapRateNotQuiteCD", [](SimulatedAudioSystem& s, AudioObjectID, AudioObjectID) { s.setTapSampleRate(44100.5); },
     "The current audio rate (44100 Hz) is not supported."},
    {"DeviceRefusesTheRate",
     [](SimulatedAudioSystem& s, AudioObjectID device, AudioObjectID) {
         s.injectFault({C::setPropertyData, device, kAudioDevicePropertyNominalSampleRate,
                        kAudioDeviceUnsupportedFormatError});
     },
     "Setting the virtual device sample rate failed (\"!dat\")."},
    // The microphone, step by step.
    faultRow("MicrophoneRateUnreadable", fault(C::getPropertyData, 0, kAudioDevicePropertyNominalSampleRate, -10),
             "Reading the microphone sample rate failed (-10).", true),
    faultRow("MicrophoneRateCannotMakeAFormat",
             withoutResult(C::getPropertyData, 0, kAudioDevicePropertyNominalSampleRate),
             "Creating the captured audio format failed (\"what\").", true),
    faultRow("MicrophoneIOProcRefused", fault(C::createIOProc, 0, std::nullopt, kAudioHardwareBadDeviceError),
             "Preparing microphone capture failed (\"!dev\").", true),
    faultRow("MicrophoneIOProcWithoutID", withoutResult(C::createIOProc, 0, std::nullopt),
             "Preparing microphone capture failed (0).", true),
    faultRow("MicrophoneStreamsUnreadable", fault(C::getPropertyDataSize, 0, kAudioDevicePropertyStreams, -11),
             "Reading microphone streams failed (-11).", true, true),
    faultRow("MicrophoneStreamsNotEnabled",
             fault(C::setPropertyData, 0, kAudioDevicePropertyIOProcStreamUsage, -12),
             "Enabling microphone streams failed (-12).", true),
    faultRow("MicrophoneDoesNotStart", fault(C::startDevice, 0, std::nullopt, -66),
             "Starting microphone capture failed (-66).", true),
    // The engine.
    {"OutputDeviceNotSelectable",
     [](SimulatedAudioSystem& s, AudioObjectID device, AudioObjectID) {
         // A virtual device without outputs cannot be the engine's output.
         s.removeDevice(device);
         auto inputsOnly = SimulatedDeviceDescription::microphone(VLMVirtualOutputDevice::deviceUID, "Broken", 2);
         s.addDevice(inputsOnly);
     },
     "Selecting an audio device failed (-10851)."},
    {"EngineDoesNotStart",
     [](SimulatedAudioSystem& s, AudioObjectID device, AudioObjectID) {
         s.injectFault({C::startDevice, device, std::nullopt, -77});
     },
     "The audio engine could not start the output device (error -77)."},
};

INSTANTIATE_TEST_SUITE_P(, VLMAudioRouterGraphFailureTest, testing::ValuesIn(graphFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VLMAudioRouterStatusTest, AnUnknownMicrophoneFailsAfterStarting)
{
    makeRouter().start();
    recorder->statuses.clear();
    router->selectMicrophone("gone");
    EXPECT_THAT(recorder->statuses, ElementsAre(Status::starting(), Status::failed(unavailable)));
    EXPECT_EQ(liveAudioObjects(), 0u);
    EXPECT_EQ(router->selectedMicrophoneUID(), "gone");
    EXPECT_FALSE(router->usesSystemDefaultMicrophone());
}

TEST_F(VLMAudioRouterStatusTest, TwoStartsLeaveExactlyOneGraphAndAnnounceStartingEachTime)
{
    makeRouter().start();
    router->start();
    EXPECT_THAT(recorder->statuses,
                ElementsAre(Status::starting(), Status::ready(), Status::starting(), Status::ready()));
    EXPECT_EQ(system->processTapCount(), 1u);
    EXPECT_EQ(system->aggregateDeviceCount(), 1u);
    EXPECT_EQ(system->ioProcCount(microphone), 1u);
    EXPECT_EQ(system->ioProcCount(virtualDevice), 1u) << "one engine";
    EXPECT_EQ(system->listenerCount(), 3u) << "the monitor registers once";
}

TEST_F(VLMAudioRouterStatusTest, StopEndsMonitoringThenTearsTheGraphDown)
{
    makeRouter().start();
    system->clearJournal();
    router->stop();
    std::vector<std::string> order;
    for (const auto& entry : system->journal())
        order.push_back(SimulatedCallName(entry.call));
    EXPECT_THAT(order, ElementsAre("AudioObjectRemovePropertyListenerBlock", "AudioObjectRemovePropertyListenerBlock",
                                   "AudioObjectRemovePropertyListenerBlock",  // the monitor's three
                                   "AudioDeviceStop", "AudioDeviceDestroyIOProcID",  // engine
                                   "AudioDeviceStop", "AudioDeviceDestroyIOProcID",  // microphone
                                   "AudioDeviceStop", "AudioDeviceDestroyIOProcID",  // tap
                                   "AudioHardwareDestroyAggregateDevice", "AudioHardwareDestroyProcessTap"));
    EXPECT_EQ(liveAudioObjects(), 0u);
    EXPECT_EQ(router->status(), Status::ready()) << "stopping sets no status";
}

TEST_F(VLMAudioRouterStatusTest, ReleasingTheRouterTearsDownItsGraph)
{
    makeRouter().start();
    router.reset();
    EXPECT_EQ(liveAudioObjects(), 0u);
    EXPECT_EQ(system->listenerCount(), 0u);
}

} // namespace

namespace {

TEST(VLMFatalErrorDeathTest, WritesTheMessageToStandardErrorAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(VLMFatalError("Unable to create the process audio ring buffer."),
                 "Unable to create the process audio ring buffer\\.");
}

} // namespace
