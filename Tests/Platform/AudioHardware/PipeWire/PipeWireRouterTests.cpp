// The whole program's audio path on a real (private) PipeWire server: two
// applications and a microphone mixed by the router into the virtual device.

#include "NSUserDefaults.h"
#include "PipeWireAudioSystem.h"
#include "PipeWireTestSupport.h"
#include "Support/MainQueue.h"
#include "VLMAudioHardware.h"
#include "VLMAudioRouter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pipewire/pipewire.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <signal.h>

using namespace PipeWireTest;

namespace {

constexpr const char* kVirtualDeviceUID = "com.tarnwick.VelmoraStudioConnect.Device";
constexpr double kRate = 48000.0;
constexpr double kTolerance = 0.02;
constexpr double kSilence = 0.005;

class PipeWireRouter : public testing::Test {
protected:
    void SetUp() override
    {
        // Every test starts from the default gains.
        NSUserDefaults::useFileForTesting(serverDirectory() + "/"
                                          + testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini");
        system = PipeWireAudioSystem::connect();
        ASSERT_TRUE(system);
        AudioHardwareInstallBackend(system);
    }
    void TearDown() override
    {
        if (router)
            router->stop();
        router.reset();
        drainMainQueue();
        AudioHardwareInstallBackend(nullptr);
        system.reset();
        NSUserDefaults::useFileForTesting("");
    }

    // A microphone that the session then takes as its default input.
    std::unique_ptr<ToneSource> defaultMicrophone(const std::string& name, double frequency)
    {
        auto mic = ToneSource::microphone(name, "Microphone " + name, frequency, 0.2f, 1);
        EXPECT_TRUE(mic->waitUntilReady());
        EXPECT_TRUE(setDefaultInput(name));
        EXPECT_TRUE(runMainQueueUntil([&] {
            const AudioObjectID id = deviceWithUID(name);
            return id != 0 && VLMAudioHardware::defaultInputDeviceID() == id;
        }));
        return mic;
    }

    bool waitForStatus(VLMAudioRouterStatus::Kind kind)
    {
        return runMainQueueUntil([&] { return router->status().kind() == kind; });
    }

    // What the virtual device delivers to whoever uses it as a microphone,
    // recorded from a client of its own as a voice-chat application would:
    // the session manager links it, so this also fails when the program has
    // left the session manager unable to link anything.
    static std::vector<float> recordVirtualDevice(double seconds)
    {
        Recorder recorder(kVirtualDeviceUID, false, seconds + 1);
        if (!runMainQueueUntil([&] { return recorder.frames() >= std::size_t(seconds * kRate); })) {
            ADD_FAILURE() << "no recorder of the virtual device was linked";
            return {};
        }
        return recorder.samples();
    }

    // Awaits `status` and notes the longest the main thread went between two
    // looks at it (a job's run, or the queue's own 5 ms poll).
    bool waitForStatusNotingStalls(VLMAudioRouterStatus::Kind kind, bool equal = true)
    {
        auto last = std::chrono::steady_clock::now();
        return runMainQueueUntil([&] {
            const auto now = std::chrono::steady_clock::now();
            longestStall = std::max(longestStall, std::chrono::duration_cast<std::chrono::microseconds>(now - last));
            last = now;
            return (router->status().kind() == kind) == equal;
        });
    }

    std::shared_ptr<PipeWireAudioSystem> system;
    std::shared_ptr<VLMAudioRouter> router;
    std::chrono::microseconds longestStall{0};
};

TEST_F(PipeWireRouter, MixesBothApplicationsAndTheMicrophoneIntoTheVirtualDeviceAtTheirGains)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
    auto music = ToneSource::application("com.apple.Music", 2500.0);
    ASSERT_TRUE(velmora->waitUntilReady());
    ASSERT_TRUE(music->waitUntilReady());

    router = VLMAudioRouter::create();
    router->setVelmoraVolume(0.5f);
    router->setMicrophoneVolume(1.0f);
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    EXPECT_EQ(router->selectedMicrophoneUID(), "test-mic");

    const auto mix = recordVirtualDevice(2.0);
    for (std::uint32_t channel : {0u, 1u}) {
        SCOPED_TRACE(channel);
        EXPECT_NEAR(toneAmplitude(mix, 2, channel, kRate, 1000.0), 0.1, kTolerance);
        EXPECT_NEAR(toneAmplitude(mix, 2, channel, kRate, 2500.0), 0.1, kTolerance);
        EXPECT_NEAR(toneAmplitude(mix, 2, channel, kRate, 440.0), 0.2, kTolerance);
    }

    // The speakers still play the applications, and never the microphone.
    Recorder speakers("test-speakers", true);
    ASSERT_TRUE(runMainQueueUntil([&] { return speakers.frames() >= std::size_t(1.5 * kRate); }));
    const auto heard = speakers.samples();
    EXPECT_NEAR(toneAmplitude(heard, 2, 0, kRate, 1000.0), 0.2, kTolerance);
    EXPECT_NEAR(toneAmplitude(heard, 2, 0, kRate, 2500.0), 0.2, kTolerance);
    EXPECT_LT(toneAmplitude(heard, 2, 0, kRate, 440.0), kSilence);
}

TEST_F(PipeWireRouter, AMicrophoneGainChangedWhileRoutingChangesOnlyTheMicrophone)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
    ASSERT_TRUE(velmora->waitUntilReady());
    router = VLMAudioRouter::create();
    router->setVelmoraVolume(0.5f);
    router->setMicrophoneVolume(1.0f);
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    const auto before = recordVirtualDevice(1.0);

    router->setMicrophoneVolume(0.25f);
    const auto after = recordVirtualDevice(1.0);
    for (std::uint32_t channel : {0u, 1u}) {
        SCOPED_TRACE(channel);
        EXPECT_NEAR(toneAmplitude(before, 2, channel, kRate, 440.0), 0.2, kTolerance);
        EXPECT_NEAR(toneAmplitude(after, 2, channel, kRate, 440.0), 0.05, kTolerance / 2);
        EXPECT_NEAR(toneAmplitude(before, 2, channel, kRate, 1000.0), 0.1, kTolerance);
        EXPECT_NEAR(toneAmplitude(after, 2, channel, kRate, 1000.0), 0.1, kTolerance);
    }
    EXPECT_EQ(router->status().kind(), VLMAudioRouterStatus::Kind::ready);
}

// Music that starts and stops changes which driver runs the graph (the
// speakers while it plays, the virtual device's clock otherwise); the
// microphone's sine must not drop out at any change, as it did for a whole
// cycle when the virtual device itself drove while no music played.
TEST_F(PipeWireRouter, TheMicrophoneNeverDropsOutWhenMusicStartsAndStops)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    router = VLMAudioRouter::create();
    router->setMicrophoneVolume(1.0f);
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    Recorder recorder(kVirtualDeviceUID, false, 10.0);
    auto recordedFor = [&](double seconds) {
        const std::size_t until = recorder.frames() + std::size_t(seconds * kRate);
        return runMainQueueUntil([&] { return recorder.frames() >= until; });
    };
    ASSERT_TRUE(recordedFor(0.5));
    for (int round = 0; round < 3; ++round) {
        auto music = ToneSource::application("com.tarnwick.velmora", 1000.0, 0.0f);  // silent
        ASSERT_TRUE(music->waitUntilReady());
        ASSERT_TRUE(recordedFor(0.4));
        music.reset();
        ASSERT_TRUE(recordedFor(0.4));
    }
    const auto samples = recorder.samples();
    ASSERT_NEAR(toneAmplitude(samples, 2, 0, kRate, 440.0), 0.2, kTolerance);
    // The sine is never 0 for more than a sample or two in a row.
    std::size_t dropouts = 0, zeros = 0;
    for (std::size_t f = std::size_t(0.25 * kRate); f < samples.size() / 2; ++f) {
        zeros = samples[2 * f] == 0.0f ? zeros + 1 : 0;
        dropouts += zeros == 16;
    }
    EXPECT_EQ(dropouts, 0u);
}

TEST_F(PipeWireRouter, NeverOffersOrCapturesItsOwnVirtualDeviceEvenAsTheSessionsDefault)
{
    // With no other source the session may pick the virtual device itself.
    ASSERT_TRUE(setDefaultInput(kVirtualDeviceUID));
    const AudioObjectID virtualDevice = deviceWithUID(kVirtualDeviceUID);
    ASSERT_TRUE(runMainQueueUntil([&] { return VLMAudioHardware::defaultInputDeviceID() == virtualDevice; }));
    const auto devices = VLMAudioHardware::inputDevices();
    EXPECT_TRUE(std::none_of(devices.begin(), devices.end(),
                             [](const VLMAudioDevice& d) { return d.uid == kVirtualDeviceUID; }));

    router = VLMAudioRouter::create();
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::failed));
    EXPECT_EQ(router->status().message(), "The selected microphone is no longer available.");

    // A real microphone arriving is taken instead.
    auto mic = ToneSource::microphone("test-mic", "Test Microphone", 440.0, 0.2f, 1);
    ASSERT_TRUE(mic->waitUntilReady());
    ASSERT_TRUE(runMainQueueUntil([&] { return !router->microphones().empty(); }));
    for (const VLMAudioDevice& d : router->microphones())
        EXPECT_NE(d.uid, kVirtualDeviceUID);
}

TEST_F(PipeWireRouter, FollowsTheVirtualDeviceAsItIsInstalledRemovedAndInstalledAgain)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    const std::string driver = std::string(VLM_SOURCE_DIR) + "/Driver/";
    ASSERT_EQ(run("'" + driver + "uninstall' > /dev/null"), 0);
    ASSERT_TRUE(runMainQueueUntil([&] { return deviceWithUID(kVirtualDeviceUID) == 0; }));

    router = VLMAudioRouter::create();
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::driverMissing));
    const double expected = 0.2 * double(VLMAudioRouter::defaultVolume);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        // Installed while the program runs: it starts by itself.
        ASSERT_EQ(run("'" + driver + "install' > /dev/null"), 0);
        ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
        EXPECT_NEAR(toneAmplitude(recordVirtualDevice(1.5), 2, 0, kRate, 440.0), expected, kTolerance);
        if (round == 0) {
            // Removed while routing: the program says so instead of "ready".
            ASSERT_EQ(run("'" + driver + "uninstall' > /dev/null"), 0);
            ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::driverMissing));
        }
    }
}

// The session manager sets up each new device (its format and ports) and
// cannot while the device runs; a link made before that runs it and leaves
// the session manager waiting for that device forever, linking nothing else
// for any application. Made while the session manager is held up, so the
// program always sees the device first: the program waits for the session.
TEST_F(PipeWireRouter, ADeviceMadeWhileRoutingIsLinkedOnlyOnceTheSessionHasSetItUp)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    const std::string driver = std::string(VLM_SOURCE_DIR) + "/Driver/";
    ASSERT_EQ(run("'" + driver + "uninstall' > /dev/null"), 0);
    router = VLMAudioRouter::create();
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::driverMissing));
    {
        SessionManagerPause pause;
        ASSERT_TRUE(pause.paused());
        // As Driver/install makes it (whose check for the device would wait
        // for the stopped session manager).
        ASSERT_TRUE(createLingeringNode("adapter", {{"factory.name", "support.null-audio-sink"},
                                                    {"node.name", kVirtualDeviceUID},
                                                    {"media.class", "Audio/Source/Virtual"},
                                                    {"audio.position", "[ FL FR ]"},
                                                    {"adapter.auto-port-config",
                                                     "{ mode=dsp monitor=true position=preserve }"}}));
        ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
        // The program has seen the device and made what it could.
        const auto device = globalsWhere(PW_TYPE_INTERFACE_Node, "node.name", kVirtualDeviceUID);
        ASSERT_EQ(device.size(), 1u);
        EXPECT_TRUE(globalsWhere(PW_TYPE_INTERFACE_Link, "link.input.node", std::to_string(device[0])).empty())
            << "linked before the session manager set the device up";
    }
    // Every application is still linked, and so is a recorder of the device.
    auto later = ToneSource::application("com.example.later", 700.0);
    EXPECT_TRUE(later->waitUntilReady());
    EXPECT_NEAR(toneAmplitude(recordVirtualDevice(1.0), 2, 0, kRate, 440.0),
                0.2 * double(VLMAudioRouter::defaultVolume), kTolerance);
}

// Other clients (a patchbay, `pw-cli destroy`) may take away what the program
// made. A link comes back while its ports exist; a destroyed node is rebuilt
// with everything else, as after a lost connection, and the devices come
// back under ids never given before.
TEST_F(PipeWireRouter, RoutesAgainAfterAnotherClientRemovesALinkOrDestroysTheNode)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    router = VLMAudioRouter::create();
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    const double expected = 0.2 * double(VLMAudioRouter::defaultVolume);
    std::vector<std::uint32_t> node, links;  // the program's, and its links into the device
    ASSERT_TRUE(runMainQueueUntil([&] {
        node = globalsWhere(PW_TYPE_INTERFACE_Node, "node.name", "velmora-studio-connect");
        if (node.size() == 1)
            links = globalsWhere(PW_TYPE_INTERFACE_Link, "link.output.node", std::to_string(node[0]));
        return links.size() == 2;
    }));

    ASSERT_TRUE(destroyGlobal(links[0]));
    auto mix = recordVirtualDevice(1.0);
    for (std::uint32_t channel : {0u, 1u})
        EXPECT_NEAR(toneAmplitude(mix, 2, channel, kRate, 440.0), expected, kTolerance) << channel;

    const AudioObjectID device = deviceWithUID(kVirtualDeviceUID);
    const AudioObjectID microphone = deviceWithUID("test-mic");
    ASSERT_TRUE(destroyGlobal(node[0]));
    ASSERT_TRUE(runMainQueueUntil([&] {
        const AudioObjectID now = deviceWithUID(kVirtualDeviceUID);
        return now != 0 && now != device && router->status().kind() == VLMAudioRouterStatus::Kind::ready;
    })) << router->status().message();
    EXPECT_GT(deviceWithUID(kVirtualDeviceUID), std::max(device, microphone));
    EXPECT_GT(deviceWithUID("test-mic"), std::max(device, microphone));
    mix = recordVirtualDevice(1.0);
    for (std::uint32_t channel : {0u, 1u})
        EXPECT_NEAR(toneAmplitude(mix, 2, channel, kRate, 440.0), expected, kTolerance) << channel;
}

// Started before the server, and the server restarted while routing (a
// package update): the program never says "ready" while nothing flows, and
// routes again by itself once the server is back.
TEST_F(PipeWireRouter, RoutesWheneverTheServerIsThereAndNeverSaysReadyWithoutIt)
{
    ASSERT_TRUE(stopServer());
    router = VLMAudioRouter::create();
    router->start();
    drainMainQueue();
    EXPECT_NE(router->status().kind(), VLMAudioRouterStatus::Kind::ready);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(startServer());
        auto mic = defaultMicrophone("test-mic", 440.0);
        auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
        ASSERT_TRUE(velmora->waitUntilReady());
        ASSERT_TRUE(waitForStatusNotingStalls(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
        const auto mix = recordVirtualDevice(1.5);
        const double expected = 0.2 * double(VLMAudioRouter::defaultVolume);
        EXPECT_NEAR(toneAmplitude(mix, 2, 0, kRate, 440.0), expected, kTolerance);
        EXPECT_NEAR(toneAmplitude(mix, 2, 0, kRate, 1000.0), expected, kTolerance);

        ASSERT_TRUE(stopServer());
        ASSERT_TRUE(waitForStatusNotingStalls(VLMAudioRouterStatus::Kind::ready, false));
    }
    RecordProperty("longestMainThreadStallMicroseconds", int(longestStall.count()));
    ASSERT_TRUE(startServer());
}

// Nothing the program does at start waits for the session manager: with it
// stopped, the program starts (its links are its own) and the main thread
// stays free; the sound is there once a recorder can be linked again.
TEST_F(PipeWireRouter, StartsWhileTheSessionManagerStalls)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
    ASSERT_TRUE(velmora->waitUntilReady());
    {
        SessionManagerPause pause;
        ASSERT_TRUE(pause.paused());
        const auto before = std::chrono::steady_clock::now();
        router = VLMAudioRouter::create();
        router->start();
        const auto startTook = std::chrono::steady_clock::now() - before;
        RecordProperty("startMicroseconds",
                       int(std::chrono::duration_cast<std::chrono::microseconds>(startTook).count()));
        ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    }
    EXPECT_NEAR(toneAmplitude(recordVirtualDevice(1.5), 2, 0, kRate, 1000.0),
                0.2 * double(VLMAudioRouter::defaultVolume), kTolerance);
}

// A graph the program cannot follow (96 kHz) costs the message and nothing
// else: the applications still play, and at 48 kHz "Try Again" routes again.
TEST_F(PipeWireRouter, AnUnsupportedGraphRateOnlyShowsItsMessageAndTryAgainRecovers)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
    ASSERT_TRUE(velmora->waitUntilReady());
    MetadataClient settings;
    ASSERT_TRUE(settings.bind("settings"));
    ASSERT_TRUE(settings.set("settings", "clock.force-rate", "96000"));
    ASSERT_TRUE(runMainQueueUntil([&] { return VLMAudioHardware::nominalSampleRate(deviceWithUID(kVirtualDeviceUID)) == 96000.0; }));

    router = VLMAudioRouter::create();
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::failed));
    EXPECT_EQ(router->status().message(), "The current audio rate (96000 Hz) is not supported.");
    Recorder speakers("test-speakers", true);
    ASSERT_TRUE(runMainQueueUntil([&] { return speakers.frames() >= std::size_t(kRate); }));
    EXPECT_NEAR(toneAmplitude(speakers.samples(), 2, 0, kRate, 1000.0), 0.2, kTolerance);

    ASSERT_TRUE(settings.set("settings", "clock.force-rate", "0"));
    ASSERT_TRUE(runMainQueueUntil([&] { return VLMAudioHardware::nominalSampleRate(deviceWithUID(kVirtualDeviceUID)) == kRate; }));
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    EXPECT_NEAR(toneAmplitude(recordVirtualDevice(1.5), 2, 0, kRate, 1000.0),
                0.2 * double(VLMAudioRouter::defaultVolume), kTolerance);
}

TEST_F(PipeWireRouter, ChangingTheDefaultMicrophoneWhileRunningRebuildsWithTheNewOne)
{
    auto first = defaultMicrophone("test-mic-1", 440.0);
    auto second = ToneSource::microphone("test-mic-2", "Microphone test-mic-2", 660.0, 0.2f, 1);
    ASSERT_TRUE(second->waitUntilReady());

    router = VLMAudioRouter::create();
    // Half the microphone's level: the virtual device, not the microphone
    // itself, is what gets recorded.
    router->setMicrophoneVolume(0.5f);
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    ASSERT_EQ(router->selectedMicrophoneUID(), "test-mic-1");
    const auto before = recordVirtualDevice(1.5);
    EXPECT_NEAR(toneAmplitude(before, 2, 0, kRate, 440.0), 0.1, kTolerance);
    EXPECT_LT(toneAmplitude(before, 2, 0, kRate, 660.0), kSilence);

    ASSERT_TRUE(setDefaultInput("test-mic-2"));
    ASSERT_TRUE(runMainQueueUntil([&] {
        return router->selectedMicrophoneUID() == "test-mic-2"
            && router->status().kind() == VLMAudioRouterStatus::Kind::ready;
    }));
    EXPECT_TRUE(router->usesSystemDefaultMicrophone());
    const auto after = recordVirtualDevice(1.5);
    EXPECT_NEAR(toneAmplitude(after, 2, 0, kRate, 660.0), 0.1, kTolerance);
    EXPECT_LT(toneAmplitude(after, 2, 0, kRate, 440.0), kSilence);
}

// What the meters show, and what they showed when the status last changed.
struct Meters final : VLMAudioRouterDelegate {
    void audioRouter(VLMAudioRouter&, const VLMAudioRouterStatus& status) override
    {
        statuses.push_back(status);
        levelsAtStatus.push_back(levels);
    }
    void audioRouterDidUpdateMicrophones(VLMAudioRouter&) override {}
    void audioRouter(VLMAudioRouter&, float level, VLMAudioSource source) override
    {
        levels[source == VLMAudioSource::microphone] = level;
    }
    bool bothSound() const { return levels[0] > 0 && levels[1] > 0; }

    std::array<float, 2> levels{};  // music, microphone
    std::vector<VLMAudioRouterStatus> statuses;
    std::vector<std::array<float, 2>> levelsAtStatus;
};

// A microphone client that stops delivering holds up every node after it in
// the graph's cycle, the program's with the music too: the window must stop
// looking healthy, and routing must come back by itself, without a rebuild.
TEST_F(PipeWireRouter, AFrozenMicrophoneClientSilencesTheMetersIsReportedAndRoutesAgainWhenItResumes)
{
    ProcessMicrophone mic("frozen-mic", 440.0, 0.25f);
    ASSERT_TRUE(mic.started());
    ASSERT_TRUE(runMainQueueUntil([&] { return deviceWithUID("frozen-mic") != 0; }));
    ASSERT_TRUE(setDefaultInput("frozen-mic"));
    auto velmora = ToneSource::application("com.tarnwick.velmora", 1000.0);
    ASSERT_TRUE(velmora->waitUntilReady());

    auto meters = std::make_shared<Meters>();
    router = VLMAudioRouter::create();
    router->delegate = meters;
    router->setVelmoraVolume(1.0f);
    router->setMicrophoneVolume(1.0f);
    router->start();
    ASSERT_TRUE(runMainQueueUntil([&] { return router->selectedMicrophoneUID() == "frozen-mic"; }));
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    ASSERT_TRUE(runMainQueueUntil([&] {
        router->deliverMeterLevels();  // as the window's frame clock does
        return meters->bothSound();
    }));
    const std::size_t healthy = meters->statuses.size();

    ASSERT_TRUE(mic.freeze());
    const auto stalled = VLMAudioRouterStatus::failed(VLMAudioRouter::audioStalledMessage);
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status() == stalled; })) << router->status().message();
    EXPECT_EQ(meters->levelsAtStatus.back(), (std::array<float, 2>{0, 0})) << "the meters fell first";
    EXPECT_EQ(meters->levels, (std::array<float, 2>{0, 0}));

    mic.thaw();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    EXPECT_THAT(std::vector(meters->statuses.begin() + std::ptrdiff_t(healthy), meters->statuses.end()),
                testing::ElementsAre(stalled, VLMAudioRouterStatus::ready()))
        << "the same graph plays on";
    ASSERT_TRUE(runMainQueueUntil([&] {
        router->deliverMeterLevels();  // as the window's frame clock does
        return meters->bothSound();
    }));
    const auto mix = recordVirtualDevice(1.0);
    for (std::uint32_t channel : {0u, 1u}) {
        SCOPED_TRACE(channel);
        EXPECT_NEAR(toneAmplitude(mix, 2, channel, kRate, 440.0), 0.25, kTolerance);
        EXPECT_NEAR(toneAmplitude(mix, 2, channel, kRate, 1000.0), 0.2, kTolerance);
    }

    // "Try Again" while it lasts: the server cannot finish the new links
    // while the client is frozen, so the new graph is heard by nobody either.
    ASSERT_TRUE(mic.freeze());
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status() == stalled; })) << router->status().message();
    router->start();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status() == stalled; })) << router->status().message();
    mic.thaw();
    ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
    ASSERT_TRUE(runMainQueueUntil([&] {
        router->deliverMeterLevels();  // as the window's frame clock does
        return meters->bothSound();
    }));
}

// A hung server stops every cycle alike; the program's own loop still
// notices, and routing resumes once the server answers. It hangs first before
// the program has a single link, when there are no cycles to miss, then while
// routing.
TEST_F(PipeWireRouter, AHungServerIsReportedAndRoutingResumesWhenItAnswers)
{
    auto mic = defaultMicrophone("test-mic", 440.0);
    int server = 0;
    std::ifstream(serverDirectory() + "/pipewire.pid") >> server;
    ASSERT_GT(server, 0);
    const auto stalled = VLMAudioRouterStatus::failed(VLMAudioRouter::audioStalledMessage);
    router = VLMAudioRouter::create();
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "while routing" : "before the first link");
        ASSERT_EQ(kill(server, SIGSTOP), 0);
        if (!linked)
            router->start();
        const bool reported = runMainQueueUntil([&] { return router->status() == stalled; });
        kill(server, SIGCONT);
        ASSERT_TRUE(reported) << router->status().message();
        ASSERT_TRUE(waitForStatus(VLMAudioRouterStatus::Kind::ready)) << router->status().message();
        EXPECT_NEAR(toneAmplitude(recordVirtualDevice(1.0), 2, 0, kRate, 440.0), 0.16, kTolerance);
    }
}

} // namespace
