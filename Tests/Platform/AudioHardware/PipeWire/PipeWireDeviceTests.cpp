// Devices, defaults and listeners, answered by a real (private) PipeWire server.

#include "PipeWireAudioSystem.h"
#include "PipeWireDriverInstall.h"
#include "PipeWireConnection.h"
#include "PipeWireTestSupport.h"
#include "Support/MainQueue.h"
#include "Support/PipeWireClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

using namespace PipeWireTest;

namespace {

constexpr const char* kVirtualDeviceUID = "com.tarnwick.VelmoraStudioConnect.Device";

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

class PipeWireDevices : public testing::Test {
protected:
    void SetUp() override
    {
        system = PipeWireAudioSystem::connect();
        ASSERT_TRUE(system) << "no PipeWire server at " << serverDirectory();
        AudioHardwareInstallBackend(system);
    }
    void TearDown() override
    {
        AudioHardwareInstallBackend(nullptr);
        system.reset();
        drainMainQueue();
    }

    std::vector<AudioObjectID> devices() { return objectList(kAudioObjectSystemObject, kAudioHardwarePropertyDevices); }

    // A microphone that the system lists with its channels.
    AudioObjectID addMicrophone(std::unique_ptr<ToneSource>& holder, const std::string& name, std::uint32_t channels = 1)
    {
        holder = ToneSource::microphone(name, "Microphone " + name, 440.0, 0.25f, channels);
        EXPECT_TRUE(holder->waitUntilReady());
        AudioObjectID id = 0;
        EXPECT_TRUE(runMainQueueUntil([&] {
            id = deviceWithUID(name);
            return id != 0 && VLMAudioHardware::inputChannelCount(id) == channels;
        }));
        return id;
    }

    std::shared_ptr<PipeWireAudioSystem> system;
};

// Listens to a property of the system object on the main queue until removed
// or destroyed, counting calls and whether each ran on the main thread.
struct ListenerLog {
    explicit ListenerLog(AudioObjectPropertySelector selector) : address(globalAddress(selector))
    {
        EXPECT_EQ(AudioObjectAddPropertyListenerBlock(kAudioObjectSystemObject, &address, dispatch_get_main_queue(),
                                                      block),
                  0);
    }
    ~ListenerLog() { remove(); }
    ListenerLog(const ListenerLog&) = delete;
    ListenerLog& operator=(const ListenerLog&) = delete;
    OSStatus remove()
    {
        return AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &address, dispatch_get_main_queue(),
                                                      block);
    }

    int calls = 0;
    bool allOnMainThread = true;
    const AudioObjectPropertyAddress address;
    const AudioObjectPropertyListenerBlock block = [this](std::uint32_t count,
                                                          const AudioObjectPropertyAddress* addresses) {
        EXPECT_EQ(count, 1u);
        EXPECT_NE(addresses, nullptr);
        ++calls;
        allOnMainThread = allOnMainThread && dispatch_is_main_thread();
    };
};

TEST_F(PipeWireDevices, ListsTheVirtualDeviceAndTheSpeakersWithUIDsNamesAndStreams)
{
    const AudioObjectID virtualDevice = deviceWithUID(kVirtualDeviceUID);
    const AudioObjectID speakers = deviceWithUID("test-speakers");
    ASSERT_NE(virtualDevice, 0u);
    ASSERT_NE(speakers, 0u);

    const auto ids = devices();
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_NE(std::find(ids.begin(), ids.end(), virtualDevice), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), speakers), ids.end());

    EXPECT_EQ(VLMAudioHardware::stringProperty(virtualDevice, kAudioDevicePropertyDeviceUID), kVirtualDeviceUID);
    EXPECT_EQ(VLMAudioHardware::stringProperty(virtualDevice, kAudioObjectPropertyName), "Velmora Studio Connect");
    EXPECT_EQ(VLMAudioHardware::stringProperty(speakers, kAudioObjectPropertyName), "Test Speakers");

    // The virtual device captures (what is played into it) and plays; the
    // speakers only play.
    EXPECT_EQ(VLMAudioHardware::inputChannelCount(virtualDevice), 2u);
    EXPECT_EQ(objectList(virtualDevice, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput).size(), 1u);
    EXPECT_TRUE(objectList(speakers, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput).empty());
    EXPECT_EQ(objectList(speakers, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput).size(), 1u);
    EXPECT_EQ(VLMAudioHardware::nominalSampleRate(speakers), 48000.0);
    EXPECT_EQ(deviceWithUID("no.such.device"), 0u);
}

TEST_F(PipeWireDevices, AMicrophoneIsListedWithItsFormatUnderAnIDThatLastsAsLongAsItsNode)
{
    std::unique_ptr<ToneSource> mono, stereo;
    const AudioObjectID monoID = addMicrophone(mono, "test-mic-mono");
    ASSERT_NE(monoID, 0u);
    EXPECT_EQ(VLMAudioHardware::stringProperty(monoID, kAudioObjectPropertyName), "Microphone test-mic-mono");

    const auto streams = objectList(monoID, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    ASSERT_EQ(streams.size(), 1u);
    const auto address = globalAddress(kAudioStreamPropertyVirtualFormat);
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    ASSERT_EQ(AudioObjectGetPropertyData(streams[0], &address, 0, nullptr, &size, &format), 0);
    EXPECT_EQ(size, sizeof format);
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
    EXPECT_EQ(format.mFormatFlags & kAudioFormatFlagIsFloat, kAudioFormatFlagIsFloat);
    EXPECT_EQ(format.mBitsPerChannel, 32u);
    EXPECT_EQ(format.mChannelsPerFrame, 1u);
    EXPECT_EQ(format.mSampleRate, 48000.0);

    const AudioObjectID stereoID = addMicrophone(stereo, "test-mic-stereo", 2);
    EXPECT_NE(stereoID, monoID);
    EXPECT_EQ(deviceWithUID("test-mic-mono"), monoID);

    // A node that comes back is a new device.
    mono.reset();
    ASSERT_TRUE(runMainQueueUntil([&] { return deviceWithUID("test-mic-mono") == 0; }));
    EXPECT_EQ(AudioObjectGetPropertyData(streams[0], &address, 0, nullptr, &size, &format),
              kAudioHardwareBadObjectError);
    const AudioObjectID again = addMicrophone(mono, "test-mic-mono");
    EXPECT_NE(again, 0u);
    EXPECT_NE(again, monoID);
}

TEST_F(PipeWireDevices, TheVirtualDeviceRunsAtTheGraphsRateAndRefusesAnyOther)
{
    const AudioObjectID virtualDevice = deviceWithUID(kVirtualDeviceUID);
    auto nsrt = globalAddress(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(VLMAudioHardware::nominalSampleRate(virtualDevice), 48000.0);
    const double graphRate = 48000.0;
    EXPECT_EQ(AudioObjectSetPropertyData(virtualDevice, &nsrt, 0, nullptr, sizeof graphRate, &graphRate), 0);
    // Another rate would change it for every application of the user.
    for (double other : {44100.0, -1.0}) {
        EXPECT_EQ(AudioObjectSetPropertyData(virtualDevice, &nsrt, 0, nullptr, sizeof other, &other),
                  kAudioDeviceUnsupportedFormatError);
        EXPECT_EQ(VLMAudioHardware::nominalSampleRate(virtualDevice), 48000.0);
    }

    auto name = globalAddress(kAudioObjectPropertyName);
    CFStringRef newName = nullptr;
    EXPECT_EQ(AudioObjectSetPropertyData(virtualDevice, &name, 0, nullptr, sizeof newName, &newName),
              kAudioHardwareIllegalOperationError);
}

TEST_F(PipeWireDevices, TheDefaultInputFollowsTheSessionAndEveryChangeReachesListenersOnTheMainThread)
{
    ListenerLog deviceLog(kAudioHardwarePropertyDevices), defaultLog(kAudioHardwarePropertyDefaultInputDevice);

    // Appearing.
    std::unique_ptr<ToneSource> mic;
    const AudioObjectID micID = addMicrophone(mic, "test-mic");
    ASSERT_TRUE(runMainQueueUntil([&] { return deviceLog.calls > 0; }));

    // The default changing.
    const int defaultCalls = defaultLog.calls;
    ASSERT_TRUE(setDefaultInput("test-mic"));
    ASSERT_TRUE(runMainQueueUntil([&] { return defaultLog.calls > defaultCalls; }));
    EXPECT_EQ(VLMAudioHardware::defaultInputDeviceID(), micID);

    // Disappearing: the device goes, and so does the default.
    const int deviceCalls = deviceLog.calls;
    mic.reset();
    ASSERT_TRUE(runMainQueueUntil([&] { return deviceLog.calls > deviceCalls; }));
    EXPECT_EQ(deviceWithUID("test-mic"), 0u);
    ASSERT_TRUE(runMainQueueUntil([&] { return VLMAudioHardware::defaultInputDeviceID() != micID; }));
    EXPECT_TRUE(deviceLog.allOnMainThread);
    EXPECT_TRUE(defaultLog.allOnMainThread);

    // Removed listeners hear nothing more.
    EXPECT_EQ(deviceLog.remove(), 0);
    EXPECT_NE(deviceLog.remove(), 0);
    const int before = deviceLog.calls;
    addMicrophone(mic, "test-mic-2");
    ASSERT_TRUE(system->synchronize());
    drainMainQueue();
    EXPECT_EQ(deviceLog.calls, before);
}

// PipeWire passes a change that the session manager makes to its "default"
// metadata only to the clients still binding that metadata, whenever one is.
// Here that moment is made on purpose: with the session manager paused, a new
// default waits for it to publish, and then a tool's binding waits for it
// too; resumed, it publishes the default while the tool is still binding.
TEST_F(PipeWireDevices, ADefaultPublishedWhileAToolBindsTheSessionMetadataStillReachesTheProgram)
{
    std::unique_ptr<ToneSource> first, second;
    const AudioObjectID firstID = addMicrophone(first, "test-mic-1");
    const AudioObjectID secondID = addMicrophone(second, "test-mic-2");
    ASSERT_TRUE(setDefaultInput("test-mic-1"));
    ASSERT_TRUE(runMainQueueUntil([&] { return VLMAudioHardware::defaultInputDeviceID() == firstID; }));

    ListenerLog log(kAudioHardwarePropertyDefaultInputDevice);

    // Writes the key that the session manager publishes the default input in.
    MetadataClient session;
    ASSERT_TRUE(session.bind("default"));
    ASSERT_TRUE(session.bind("settings"));
    auto tool = std::make_unique<MetadataClient>();
    ASSERT_TRUE(tool->bind("settings"));
    ASSERT_TRUE(system->synchronize());
    {
        SessionManagerPause pause;
        ASSERT_TRUE(pause.paused());
        ASSERT_TRUE(session.set("default", "default.audio.source", R"({"name":"test-mic-2"})", "Spa:String:JSON"));
        tool->markThenBind("settings", "vlm.test.tool-binding", "1", "default");
        ASSERT_TRUE(session.waitForValue("settings", "vlm.test.tool-binding", "1"));
    }
    ASSERT_TRUE(tool->waitUntilBound("default"));
    EXPECT_EQ(tool->value("default", "default.audio.source"), R"({"name":"test-mic-2"})");

    // The tool is done and leaves.
    tool.reset();
    EXPECT_TRUE(runMainQueueUntil([&] { return VLMAudioHardware::defaultInputDeviceID() == secondID && log.calls > 0; }));
    EXPECT_TRUE(log.allOnMainThread);
}

TEST_F(PipeWireDevices, TheDriverScriptsRemoveAndInstallTheVirtualDeviceWhileTheServerRuns)
{
    ListenerLog log(kAudioHardwarePropertyDevices);
    const std::string driver = std::string(VLM_SOURCE_DIR) + "/Driver/";
    const std::string fragment = serverDirectory() + "/config/pipewire/pipewire.conf.d/velmora-studio-connect.conf";

    ASSERT_EQ(run("'" + driver + "uninstall' > /dev/null"), 0);
    EXPECT_NE(run("test -e '" + fragment + "'"), 0);
    ASSERT_TRUE(runMainQueueUntil([&] { return deviceWithUID(kVirtualDeviceUID) == 0 && log.calls > 0; }));

    ASSERT_EQ(run("'" + driver + "install' > /dev/null"), 0);
    EXPECT_EQ(run("test -e '" + fragment + "'"), 0);
    AudioObjectID id = 0;
    ASSERT_TRUE(runMainQueueUntil([&] { return (id = deviceWithUID(kVirtualDeviceUID)) != 0 && VLMAudioHardware::inputChannelCount(id) == 2; }));
    EXPECT_EQ(VLMAudioHardware::stringProperty(id, kAudioObjectPropertyName), "Velmora Studio Connect");
    // Installing twice makes no second device.
    ASSERT_EQ(run("'" + driver + "install' > /dev/null"), 0);
    ASSERT_TRUE(system->synchronize());
    int named = 0;
    for (AudioObjectID device : devices())
        named += VLMAudioHardware::stringProperty(device, kAudioDevicePropertyDeviceUID) == kVirtualDeviceUID;
    EXPECT_EQ(named, 1);
}

// A package puts the fragment in place while PipeWire runs and does not tell
// it: the program makes the device (and its clock) from the fragment itself.
TEST_F(PipeWireDevices, AFragmentInstalledWhileTheServerRunsBecomesTheDeviceWithoutARestart)
{
    const std::string driver = std::string(VLM_SOURCE_DIR) + "/Driver/";
    ASSERT_EQ(run("'" + driver + "uninstall' > /dev/null"), 0);
    ASSERT_TRUE(runMainQueueUntil([&] { return deviceWithUID(kVirtualDeviceUID) == 0; }));

    ASSERT_EQ(run("'" + driver + "install' --no-live > /dev/null"), 0);
    AudioObjectID id = 0;
    ASSERT_TRUE(runMainQueueUntil([&] {
        return (id = deviceWithUID(kVirtualDeviceUID)) != 0 && VLMAudioHardware::inputChannelCount(id) == 2;
    }));
    EXPECT_EQ(VLMAudioHardware::stringProperty(id, kAudioObjectPropertyName), "Velmora Studio Connect");
    EXPECT_EQ(run("pw-cli ls Node | grep -q '\"com.tarnwick.VelmoraStudioConnect.Clock\"'"), 0);
    // Made as lingering objects: they outlive the program's connection.
    AudioHardwareInstallBackend(nullptr);
    system.reset();
    EXPECT_EQ(run("pw-cli ls Node | grep -q '\"com.tarnwick.VelmoraStudioConnect.Device\"'"), 0);
}

// Once everything its fragment describes is there, the program stops looking
// for it (no wake-ups, no files read); the device going away makes it look,
// and make it, again.
TEST(PipeWireDriverInstall, StopsLookingOnceTheDeviceIsThereAndMakesItAgainWhenItGoes)
{
    PipeWireClient::Connection client;
    ASSERT_NE(client.core, nullptr);
    std::optional<pipewire::DriverInstall> install;
    auto looking = [&] {
        pw_thread_loop_lock(client.loop);
        const bool looks = install->isLooking();
        pw_thread_loop_unlock(client.loop);
        return looks;
    };
    const std::string deviceListed = "pw-cli ls Node | grep -q '\"com.tarnwick.VelmoraStudioConnect.Device\"'";
    pw_thread_loop_lock(client.loop);
    install.emplace(client.core, pw_thread_loop_get_loop(client.loop));
    pw_thread_loop_unlock(client.loop);

    ASSERT_TRUE(runMainQueueUntil([&] { return !looking(); }));
    ASSERT_EQ(run("pw-cli destroy com.tarnwick.VelmoraStudioConnect.Device > /dev/null"), 0);
    ASSERT_TRUE(runMainQueueUntil(looking));
    ASSERT_TRUE(runMainQueueUntil([&] { return run(deviceListed) == 0; }));
    EXPECT_TRUE(runMainQueueUntil([&] { return !looking(); }));

    pw_thread_loop_lock(client.loop);
    install.reset();
    pw_thread_loop_unlock(client.loop);
}

// Tries grow further apart while no server answers, and are short again once
// one has: a server that goes away after that is found again at once.
TEST(PipeWireConnection, TriesAgainSoonOnceAConnectionWasMade)
{
    struct Counter final : pipewire::Connection::Listener {
        void connected(pw_core*) override {}
        void disconnected() override {}
        void syncDone(int) override {}
    } listener;
    pipewire::Connection connection(listener);
    ASSERT_TRUE(connection.start());
    auto state = [&](auto read) {
        pw_thread_loop_lock(connection.loop());
        const auto value = read();
        pw_thread_loop_unlock(connection.loop());
        return value;
    };
    ASSERT_TRUE(state([&] { return connection.core() != nullptr; }));

    ASSERT_TRUE(stopServer());
    EXPECT_TRUE(runMainQueueUntil(
        [&] { return state([&] { return connection.retryDelay(); }) == pipewire::Connection::kLongestRetryDelay; }));
    ASSERT_TRUE(startServer());
    ASSERT_TRUE(runMainQueueUntil([&] { return state([&] { return connection.core() != nullptr; }); }));
    EXPECT_EQ(state([&] { return connection.retryDelay(); }), pipewire::Connection::kFirstRetryDelay);
}

} // namespace
