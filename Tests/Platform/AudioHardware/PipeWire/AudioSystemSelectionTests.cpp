// Which audio system VLM_AUDIO_SYSTEM and the reachable server select.

#include "AudioSystemSelection.h"
#include "PipeWireAudioSystem.h"
#include "PipeWireTestSupport.h"
#include "SimulatedAudioSystem.h"
#include "Support/MainQueue.h"
#include "VLMAudioError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <unistd.h>

using namespace PipeWireTest;

namespace {

// Sets (or unsets) an environment variable for one scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnvironment() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class AudioSystemSelection : public testing::Test {
protected:
    void TearDown() override
    {
        AudioHardwareInstallBackend(nullptr);
        drainMainQueue();
    }
};

// Points clients at an empty folder, where no server listens, and removes it
// afterwards.
class NoServer {
public:
    NoServer() : folder_(mkdtemp(name_)), environment_("PIPEWIRE_RUNTIME_DIR", folder_) {}
    ~NoServer()
    {
        if (folder_)
            rmdir(folder_);
    }
    NoServer(const NoServer&) = delete;
    NoServer& operator=(const NoServer&) = delete;

private:
    char name_[32] = "/tmp/vlm-no-pipewire-XXXXXX";
    const char* folder_;
    ScopedEnvironment environment_;
};

TEST_F(AudioSystemSelection, SimulatedGivesTheDemonstrationWithTheVirtualDeviceAMicrophoneAndTheMusicApp)
{
    ScopedEnvironment kind("VLM_AUDIO_SYSTEM", "simulated");
    ASSERT_EQ(audioSystemKindFromEnvironment(), AudioSystemKind::simulated);
    auto backend = makeAudioSystemFromEnvironment();
    ASSERT_NE(std::dynamic_pointer_cast<SimulatedAudioSystem>(backend), nullptr);
    AudioHardwareInstallBackend(backend);

    const AudioObjectID virtualDevice = deviceWithUID("com.tarnwick.VelmoraStudioConnect.Device");
    ASSERT_NE(virtualDevice, 0u);
    EXPECT_EQ(VLMAudioHardware::stringProperty(virtualDevice, kAudioObjectPropertyName), "Velmora Studio Connect");
    const AudioObjectID microphone = VLMAudioHardware::defaultInputDeviceID();
    ASSERT_NE(microphone, 0u);
    EXPECT_GT(VLMAudioHardware::inputChannelCount(microphone), 0u);
    EXPECT_GE(objectList(kAudioObjectSystemObject, kAudioHardwarePropertyDevices).size(), 3u);

    // The music app plays: a tap on its bundle identifier hears something.
    auto description = CATapDescription::initStereoMixdownOfProcesses({});
    description.setBundleIDs({"com.tarnwick.velmora"});
    AudioObjectID tap = 0;
    ASSERT_EQ(AudioHardwareCreateProcessTap(&description, &tap), 0);
    const auto uid = VLMAudioHardware::stringProperty(tap, kAudioTapPropertyUID);
    ASSERT_TRUE(uid);
    const CFDictionary aggregate{
        {kAudioAggregateDeviceUIDKey, "com.example.Capture"},
        {kAudioAggregateDeviceIsPrivateKey, true},
        {kAudioAggregateDeviceTapListKey, CFArray{CFDictionary{{kAudioSubTapUIDKey, *uid}}}},
    };
    AudioObjectID device = 0;
    ASSERT_EQ(AudioHardwareCreateAggregateDevice(&aggregate, &device), 0);
    CaptureBuffer buffer(2.0);
    AudioDeviceIOProcID ioProc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&ioProc, device, nullptr, buffer.block()), 0);
    ASSERT_EQ(AudioDeviceStart(device, ioProc), 0);
    ASSERT_TRUE(runMainQueueUntil([&] { return buffer.frames() >= 24000; }));
    AudioDeviceStop(device, ioProc);
    AudioDeviceDestroyIOProcID(device, ioProc);
    AudioHardwareDestroyAggregateDevice(device);
    AudioHardwareDestroyProcessTap(tap);
    float peak = 0;
    for (float sample : buffer.samples())
        peak = std::max(peak, std::abs(sample));
    EXPECT_GT(peak, 0.05f);
}

TEST_F(AudioSystemSelection, UnsetOrPipeWireGiveThePipeWireServerWhenOneAnswers)
{
    for (const char* value : {static_cast<const char*>(nullptr), "pipewire", "something-else"}) {
        SCOPED_TRACE(value ? value : "unset");
        ScopedEnvironment kind("VLM_AUDIO_SYSTEM", value);
        EXPECT_EQ(audioSystemKindFromEnvironment(), AudioSystemKind::pipewire);
        EXPECT_NE(std::dynamic_pointer_cast<PipeWireAudioSystem>(makeAudioSystemFromEnvironment()), nullptr);
    }
}

// A program started before its server: it has PipeWire's system, with no
// devices yet (the server's come when it does), and microphone access.
TEST_F(AudioSystemSelection, WithoutAServerPipeWireIsChosenAndSaysNoServerRunsUntilOneAnswers)
{
    NoServer noServer;
    for (const char* value : {static_cast<const char*>(nullptr), "pipewire"}) {
        SCOPED_TRACE(value ? value : "unset");
        ScopedEnvironment kind("VLM_AUDIO_SYSTEM", value);
        auto backend = makeAudioSystemFromEnvironment();
        ASSERT_NE(std::dynamic_pointer_cast<PipeWireAudioSystem>(backend), nullptr);
        AudioHardwareInstallBackend(backend);

        // No devices, and why: what a stopped audio server answers.
        for (AudioObjectPropertySelector selector :
             {kAudioHardwarePropertyDevices, kAudioHardwarePropertyDefaultInputDevice}) {
            const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            std::uint32_t size = 0;
            EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size),
                      kAudioHardwareNotRunningError);
        }
        try {
            VLMAudioHardware::deviceID("com.tarnwick.VelmoraStudioConnect.Device");
            ADD_FAILURE() << "a device was looked up without a server";
        } catch (const VLMAudioError& error) {
            EXPECT_EQ(error.status(), kAudioHardwareNotRunningError);
        }
        EXPECT_EQ(backend->microphoneAuthorizationStatus(), AVAuthorizationStatus::authorized);
        AudioHardwareInstallBackend(nullptr);
    }
}

} // namespace
