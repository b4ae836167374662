#include "SimulatedAudioSystem.h"
#include "Support/MainQueue.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr AudioObjectPropertyAddress global(AudioObjectPropertySelector selector,
                                            AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal)
{
    return {selector, scope, kAudioObjectPropertyElementMain};
}

class SimulatedAudioSystemTest : public testing::Test {
protected:
    SimulatedAudioSystemTest() { AudioHardwareInstallBackend(system); }
    ~SimulatedAudioSystemTest() override { AudioHardwareInstallBackend(nullptr); }

    std::vector<AudioObjectID> devices()
    {
        const auto address = global(kAudioHardwarePropertyDevices);
        std::uint32_t size = 0;
        EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size), 0);
        std::vector<AudioObjectID> ids(size / 4);
        if (!ids.empty()) {
            EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids.data()), 0);
        }
        return ids;
    }

    std::optional<std::string> stringOf(AudioObjectID object, AudioObjectPropertySelector selector)
    {
        const auto address = global(selector);
        CFStringRef value = nullptr;
        std::uint32_t size = sizeof value;
        EXPECT_EQ(AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value), 0);
        CFReleaser<CFStringRef> owned(value);
        return value ? std::optional(CFStringGetUTF8(value)) : std::nullopt;
    }

    std::shared_ptr<SimulatedAudioSystem> system = std::make_shared<SimulatedAudioSystem>();
};

TEST_F(SimulatedAudioSystemTest, WithoutBackendEveryCallFailsWithAStatus)
{
    AudioHardwareInstallBackend(nullptr);
    const auto address = global(kAudioHardwarePropertyDevices);
    std::uint32_t size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size),
              kAudioHardwareNotRunningError);
    AudioObjectID tap = 0;
    const CATapDescription description;
    EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &tap), kAudioHardwareNotRunningError);
}

TEST_F(SimulatedAudioSystemTest, DevicesCarryUIDNameStreamsAndFormats)
{
    auto mic = SimulatedDeviceDescription::microphone("mic-uid", "USB Mic", 1, 16000);
    mic.inputStreamChannels = {1, 3};
    const AudioObjectID micID = system->addDevice(mic);
    const AudioObjectID outID = system->addDevice(SimulatedDeviceDescription::output("out-uid", "Speakers"));

    EXPECT_EQ(devices(), (std::vector<AudioObjectID>{micID, outID}));
    EXPECT_EQ(stringOf(micID, kAudioDevicePropertyDeviceUID), "mic-uid");
    EXPECT_EQ(stringOf(outID, kAudioObjectPropertyName), "Speakers");

    const auto streamsAddress = global(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput);
    std::uint32_t size = 0;
    ASSERT_EQ(AudioObjectGetPropertyDataSize(micID, &streamsAddress, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 8u);
    ASSERT_EQ(AudioObjectGetPropertyDataSize(outID, &streamsAddress, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 0u);

    const auto streams = system->inputStreamIDs(micID);
    const auto formatAddress = global(kAudioStreamPropertyVirtualFormat);
    AudioStreamBasicDescription format{};
    size = sizeof format;
    ASSERT_EQ(AudioObjectGetPropertyData(streams[1], &formatAddress, 0, nullptr, &size, &format), 0);
    EXPECT_EQ(format.mChannelsPerFrame, 3u);
    EXPECT_EQ(format.mSampleRate, 16000.0);
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
}

TEST_F(SimulatedAudioSystemTest, SizesAndUnknownsFailWithStatuses)
{
    const AudioObjectID mic = system->addDevice(SimulatedDeviceDescription::microphone("m", "Mic"));
    const auto rateAddress = global(kAudioDevicePropertyNominalSampleRate);
    float tooSmall = 0;
    std::uint32_t size = sizeof tooSmall;
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &rateAddress, 0, nullptr, &size, &tooSmall),
              kAudioHardwareBadPropertySizeError);
    double rate = 0;
    size = sizeof rate;
    EXPECT_EQ(AudioObjectGetPropertyData(4242, &rateAddress, 0, nullptr, &size, &rate), kAudioHardwareBadObjectError);
    const auto unknown = global(FourCC("zzzz"));
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &unknown, 0, nullptr, &size, &rate),
              kAudioHardwareUnknownPropertyError);

    // A list read into a smaller buffer yields the ids that fit.
    system->addDevice(SimulatedDeviceDescription::microphone("n", "Mic 2"));
    const auto devicesAddress = global(kAudioHardwarePropertyDevices);
    AudioObjectID one = 0;
    size = sizeof one;
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devicesAddress, 0, nullptr, &size, &one), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(one, mic);
}

TEST_F(SimulatedAudioSystemTest, TranslatesUIDsAndRefusesRates)
{
    auto description = SimulatedDeviceDescription::output("virtual", "Virtual");
    description.refusedSampleRates = {44100.0};
    const AudioObjectID device = system->addDevice(description);

    const auto translate = global(kAudioHardwarePropertyTranslateUIDToDevice);
    auto lookUp = [&](const char* uid) {
        CFReleaser<CFStringRef> string(CFStringCreateWithUTF8(uid));
        CFStringRef qualifier = string.get();
        AudioObjectID found = 99;
        std::uint32_t size = sizeof found;
        EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, sizeof qualifier, &qualifier,
                                             &size, &found), 0);
        return found;
    };
    EXPECT_EQ(lookUp("virtual"), device);
    EXPECT_EQ(lookUp("nothing"), 0u);

    const auto rateAddress = global(kAudioDevicePropertyNominalSampleRate);
    const double refused = 44100.0, accepted = 96000.0;
    EXPECT_EQ(AudioObjectSetPropertyData(device, &rateAddress, 0, nullptr, 8, &refused),
              kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(AudioObjectSetPropertyData(device, &rateAddress, 0, nullptr, 8, &accepted), 0);
    EXPECT_EQ(system->nominalSampleRate(device), 96000.0);
}

TEST_F(SimulatedAudioSystemTest, ListenersRunOnTheMainQueueAndAreRemovedByIdentity)
{
    int calls = 0;
    const auto address = global(kAudioHardwarePropertyDevices);
    AudioObjectPropertyListenerBlock listener = [&](std::uint32_t count, const AudioObjectPropertyAddress* changed) {
        EXPECT_TRUE(dispatch_is_main_thread());
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(changed->mSelector, kAudioHardwarePropertyDevices);
        ++calls;
    };
    ASSERT_EQ(AudioObjectAddPropertyListenerBlock(kAudioObjectSystemObject, &address, dispatch_get_main_queue(),
                                                  listener), 0);
    const AudioObjectID mic = system->addDevice(SimulatedDeviceDescription::microphone("m", "Mic"));
    EXPECT_EQ(calls, 0) << "listeners are called asynchronously";
    ASSERT_TRUE(runMainQueueUntil([&] { return calls == 1; }));

    // A lookalike block is a different listener.
    AudioObjectPropertyListenerBlock lookalike = [&](std::uint32_t, const AudioObjectPropertyAddress*) { ++calls; };
    EXPECT_NE(AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &address, dispatch_get_main_queue(),
                                                     lookalike), 0);
    EXPECT_EQ(AudioObjectRemovePropertyListenerBlock(kAudioObjectSystemObject, &address, dispatch_get_main_queue(),
                                                     listener), 0);
    system->removeDevice(mic);
    drainMainQueue();
    EXPECT_EQ(calls, 1);
}

TEST_F(SimulatedAudioSystemTest, RemovingTheDefaultInputMovesTheDefault)
{
    const AudioObjectID first = system->addDevice(SimulatedDeviceDescription::microphone("a", "A"));
    const AudioObjectID second = system->addDevice(SimulatedDeviceDescription::microphone("b", "B"));
    const auto address = global(kAudioHardwarePropertyDefaultInputDevice);
    AudioObjectID current = 0;
    std::uint32_t size = sizeof current;
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &current), 0);
    EXPECT_EQ(current, first);
    system->removeDevice(first);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &current), 0);
    EXPECT_EQ(current, second);
}

TEST_F(SimulatedAudioSystemTest, FaultsHitTheChosenCallObjectAndSelector)
{
    const AudioObjectID mic = system->addDevice(SimulatedDeviceDescription::microphone("m", "Mic"));
    system->injectFault({SimulatedCall::getPropertyData, mic, kAudioDevicePropertyNominalSampleRate, -50, false, 1});
    const auto rateAddress = global(kAudioDevicePropertyNominalSampleRate);
    double rate = 0;
    std::uint32_t size = sizeof rate;
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &rateAddress, 0, nullptr, &size, &rate), -50);
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &rateAddress, 0, nullptr, &size, &rate), 0) << "one time only";
    EXPECT_EQ(rate, 48000.0);

    system->injectFault({SimulatedCall::getPropertyData, mic, kAudioDevicePropertyDeviceUID, 0, true});
    EXPECT_EQ(stringOf(mic, kAudioDevicePropertyDeviceUID), std::nullopt);

    system->injectFault({SimulatedCall::createIOProc, std::nullopt, std::nullopt, 0, true});
    AudioDeviceIOProcID id = reinterpret_cast<AudioDeviceIOProcID>(1);
    EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, mic, nullptr,
                                                 [](auto, auto, auto, auto, auto) {}), 0);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(system->ioProcCount(mic), 0u);

    const auto journal = system->journalDescriptions();
    ASSERT_GE(journal.size(), 2u);
    EXPECT_EQ(journal[0], "AudioObjectGetPropertyData(" + std::to_string(mic) + ", 'nsrt') -> -50");
    EXPECT_EQ(journal[1], "AudioObjectGetPropertyData(" + std::to_string(mic) + ", 'nsrt')");
}

TEST_F(SimulatedAudioSystemTest, ManualClockDrivesIOProcsWithDeviceSignals)
{
    auto description = SimulatedDeviceDescription::microphone("m", "Mic", 2, 48000, SimulatedSignals::channelNumbers());
    description.bufferFrameSize = 256;
    const AudioObjectID mic = system->addDevice(description);
    int cycles = 0;
    std::uint32_t firstFrames = 0;
    float firstSamples[2] = {};
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, mic, nullptr,
                                                 [&](const AudioTimeStamp* now, const AudioBufferList* input, auto,
                                                     auto, auto) {
                                                     if (cycles++ == 0) {
                                                         EXPECT_EQ(now->mSampleTime, 0.0);
                                                         firstFrames = input->mBuffers[0].mDataByteSize / 8;
                                                         auto* data = static_cast<const float*>(input->mBuffers[0].mData);
                                                         firstSamples[0] = data[0];
                                                         firstSamples[1] = data[1];
                                                     }
                                                 }),
              0);
    system->advance(1.0);
    EXPECT_EQ(cycles, 0) << "an IOProc runs only while started";
    ASSERT_EQ(AudioDeviceStart(mic, id), 0);
    system->advance(1.0);
    EXPECT_EQ(cycles, 187) << "48000 / 256 = 187.5 cycles in a second";
    EXPECT_EQ(firstFrames, 256u);
    EXPECT_EQ(firstSamples[0], 1.0f);
    EXPECT_EQ(firstSamples[1], 2.0f);
    ASSERT_EQ(AudioDeviceStop(mic, id), 0);
    system->advance(1.0);
    EXPECT_EQ(cycles, 187);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(mic, id), 0);
    EXPECT_EQ(system->ioProcCount(mic), 0u);
}

TEST_F(SimulatedAudioSystemTest, AClockOffItsRateAndAStartDelayMoveTheCycles)
{
    auto description = SimulatedDeviceDescription::microphone("m", "Mic", 1, 48000);
    description.bufferFrameSize = 480;  // 100 cycles a second on time
    description.clockErrorPPM = 10000;  // 1 % fast
    description.startDelaySeconds = 0.5;
    const AudioObjectID mic = system->addDevice(description);
    int cycles = 0;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, mic, nullptr, [&](auto, auto, auto, auto, auto) { ++cycles; }),
              0);
    ASSERT_EQ(AudioDeviceStart(mic, id), 0);
    system->advance(0.5);
    EXPECT_EQ(cycles, 0) << "still starting";
    system->advance(1.005);
    EXPECT_EQ(cycles, 101);
    ASSERT_EQ(AudioDeviceStop(mic, id), 0);
    ASSERT_EQ(AudioDeviceStart(mic, id), 0);
    system->advance(0.5);
    EXPECT_EQ(cycles, 101) << "every start from idle takes as long";
    ASSERT_EQ(AudioDeviceStop(mic, id), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(mic, id), 0);
}

TEST_F(SimulatedAudioSystemTest, ProcessTapDeliversTheApplicationsMixThroughAPrivateAggregateDevice)
{
    system->addApplication("com.example.a", SimulatedSignals::constant(0.25f));
    system->addApplication("com.example.b", SimulatedSignals::constant(0.5f));
    system->addApplication("com.example.other", SimulatedSignals::constant(100.0f));
    system->setTapSampleRate(44100);

    CATapDescription description = CATapDescription::initStereoMixdownOfProcesses({});
    description.setBundleIDs({"com.example.a", "com.example.b", "com.example.absent"});
    AudioObjectID tap = 0;
    ASSERT_EQ(AudioHardwareCreateProcessTap(&description, &tap), 0);
    ASSERT_NE(tap, 0u);
    const std::optional<std::string> tapUID = stringOf(tap, kAudioTapPropertyUID);
    ASSERT_TRUE(tapUID);

    const auto formatAddress = global(kAudioTapPropertyFormat);
    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    ASSERT_EQ(AudioObjectGetPropertyData(tap, &formatAddress, 0, nullptr, &size, &format), 0);
    EXPECT_EQ(format.mSampleRate, 44100.0);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);

    const CFDictionary aggregate = {
        {kAudioAggregateDeviceUIDKey, "agg"},
        {kAudioAggregateDeviceIsPrivateKey, true},
        {kAudioAggregateDeviceTapListKey, CFArray{CFDictionary{{kAudioSubTapUIDKey, *tapUID}}}},
    };
    AudioObjectID device = 0;
    ASSERT_EQ(AudioHardwareCreateAggregateDevice(&aggregate, &device), 0);
    EXPECT_TRUE(devices().empty()) << "a private aggregate device is not listed";

    float mixed[2] = {};
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, device, nullptr,
                                                 [&](auto, const AudioBufferList* input, auto, auto, auto) {
                                                     auto* data = static_cast<const float*>(input->mBuffers[0].mData);
                                                     mixed[0] = data[0];
                                                     mixed[1] = data[1];
                                                 }),
              0);
    ASSERT_EQ(AudioDeviceStart(device, id), 0);
    system->advance(0.1);
    EXPECT_EQ(mixed[0], 0.75f);
    EXPECT_EQ(mixed[1], 0.75f);

    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(device), 0);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(tap), 0);
    EXPECT_EQ(system->aggregateDeviceCount(), 0u);
    EXPECT_EQ(system->processTapCount(), 0u);
}

TEST_F(SimulatedAudioSystemTest, OutputDevicesRecordWhatTheirIOProcsRender)
{
    const AudioObjectID out = system->addDevice(SimulatedDeviceDescription::output("o", "Out"));
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&id, out, nullptr,
                                                 [](auto, auto, auto, AudioBufferList* output, auto) {
                                                     auto* data = static_cast<float*>(output->mBuffers[0].mData);
                                                     const std::uint32_t frames = output->mBuffers[0].mDataByteSize / 8;
                                                     for (std::uint32_t f = 0; f < frames; ++f) {
                                                         data[2 * f] = 0.5f;
                                                         data[2 * f + 1] = -0.5f;
                                                     }
                                                 }),
              0);
    ASSERT_EQ(AudioDeviceStart(out, id), 0);
    system->advance(512.0 / 48000.0 * 3);
    const std::vector<float> recorded = system->recordedOutput(out);
    ASSERT_EQ(recorded.size(), 3u * 512 * 2);
    EXPECT_EQ(recorded.front(), 0.5f);
    EXPECT_EQ(recorded.back(), -0.5f);
}

TEST_F(SimulatedAudioSystemTest, MicrophoneAccessIsAnsweredOnAnotherThread)
{
    system->setMicrophoneAuthorization(AVAuthorizationStatus::notDetermined);
    system->setMicrophoneAccessAnswer(false);
    std::atomic<int> answers{0};
    std::atomic<bool> onMain{true};
    system->requestMicrophoneAccess([&](bool granted) {
        onMain = dispatch_is_main_thread();
        EXPECT_FALSE(granted);
        ++answers;
    });
    ASSERT_TRUE(runMainQueueUntil([&] { return answers == 1; }));
    EXPECT_FALSE(onMain);
    EXPECT_EQ(system->microphoneAuthorizationStatus(), AVAuthorizationStatus::denied);
}

} // namespace
