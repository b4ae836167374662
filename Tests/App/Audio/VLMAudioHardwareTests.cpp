#include "Support/Failures.h"
#include "Support/SimulatedSystemTest.h"
#include "VLMAudioHardware.h"
#include "VLMVirtualOutputDevice.h"

#include <gmock/gmock.h>

using testing::ElementsAre;

namespace {

class VLMAudioHardwareTest : public SimulatedSystemTest {
protected:
    AudioObjectID addMicrophone(const std::string& uid, const std::string& name, std::uint32_t channels = 1)
    {
        return system->addDevice(SimulatedDeviceDescription::microphone(uid, name, channels));
    }

    std::vector<std::string> listedNames()
    {
        std::vector<std::string> names;
        for (const VLMAudioDevice& device : VLMAudioHardware::inputDevices())
            names.push_back(device.name);
        return names;
    }
};

TEST_F(VLMAudioHardwareTest, NoDevicesOrOnlyOutputsGiveAnEmptyList)
{
    EXPECT_TRUE(VLMAudioHardware::inputDevices().empty());
    system->addDevice(SimulatedDeviceDescription::output("speakers", "Speakers"));
    EXPECT_TRUE(VLMAudioHardware::inputDevices().empty());
}

TEST_F(VLMAudioHardwareTest, ListsInputDevicesWithTheirChannelTotals)
{
    auto description = SimulatedDeviceDescription::microphone("interface", "Interface");
    description.inputStreamChannels = {2, 1, 4};
    const AudioObjectID id = system->addDevice(description);
    EXPECT_THAT(VLMAudioHardware::inputDevices(), ElementsAre(VLMAudioDevice{id, "interface", "Interface", 7}));
}

TEST_F(VLMAudioHardwareTest, LeavesOutDevicesThatCannotServeAsMicrophones)
{
    addMicrophone("zero", "Zero channels", 0);
    auto noUID = SimulatedDeviceDescription::microphone("x", "No UID");
    noUID.uid.reset();
    system->addDevice(noUID);
    auto noName = SimulatedDeviceDescription::microphone("no-name", "");
    noName.name.reset();
    system->addDevice(noName);
    auto virtualDevice = SimulatedDeviceDescription::output(VLMVirtualOutputDevice::deviceUID, "Velmora Studio Connect");
    virtualDevice.inputStreamChannels = {2};
    system->addDevice(virtualDevice);
    addMicrophone("real", "Real mic");

    EXPECT_THAT(listedNames(), ElementsAre("Real mic"));
}

TEST_F(VLMAudioHardwareTest, SortsNamesNaturallyAndKeepsEqualNamesInSystemOrder)
{
    addMicrophone("ten", "Mic 10");
    const AudioObjectID firstTwin = addMicrophone("twin-a", "Twin");
    addMicrophone("two", "mic 2");
    addMicrophone("one", "Mic 1");
    const AudioObjectID secondTwin = addMicrophone("twin-b", "Twin");
    addMicrophone("built-in", "Built-in Microphone");

    const auto devices = VLMAudioHardware::inputDevices();
    std::vector<std::string> names;
    for (const auto& d : devices)
        names.push_back(d.name);
    EXPECT_THAT(names, ElementsAre("Built-in Microphone", "Mic 1", "mic 2", "Mic 10", "Twin", "Twin"));
    EXPECT_EQ(devices[4].id, firstTwin);
    EXPECT_EQ(devices[5].id, secondTwin);
}

TEST_F(VLMAudioHardwareTest, FindsDevicesByUIDAndTheDefaultInput)
{
    const AudioObjectID mic = addMicrophone("usb", "USB");
    EXPECT_EQ(VLMAudioHardware::deviceID("usb"), mic);
    EXPECT_EQ(VLMAudioHardware::deviceID("nobody"), std::nullopt);
    EXPECT_EQ(VLMAudioHardware::defaultInputDeviceID(), mic);
    system->removeDevice(mic);
    EXPECT_EQ(VLMAudioHardware::defaultInputDeviceID(), kAudioObjectUnknown);
}

TEST_F(VLMAudioHardwareTest, ReadsRatesFormatsAndStrings)
{
    const AudioObjectID mic = system->addDevice(SimulatedDeviceDescription::microphone("m", "Mic", 1, 16000));
    EXPECT_EQ(VLMAudioHardware::nominalSampleRate(mic), 16000.0);
    EXPECT_EQ(VLMAudioHardware::stringProperty(mic, kAudioObjectPropertyName), "Mic");
    system->injectFault({SimulatedCall::getPropertyData, mic, kAudioObjectPropertyName, 0, true});
    EXPECT_EQ(VLMAudioHardware::stringProperty(mic, kAudioObjectPropertyName), std::nullopt);
}

TEST_F(VLMAudioHardwareTest, EveryFailingCallThrowsItsContext)
{
    const AudioObjectID first = addMicrophone("a", "A");
    const AudioObjectID second = addMicrophone("b", "B");
    const AudioObjectID secondStream = system->inputStreamIDs(second).at(0);
    auto fail = [&](SimulatedCall call, std::optional<AudioObjectID> object, AudioObjectPropertySelector selector,
                    OSStatus status) {
        system->clearFaults();
        system->injectFault({call, object, selector, status});
    };
    auto list = [] { VLMAudioHardware::inputDevices(); };

    fail(SimulatedCall::getPropertyDataSize, kAudioObjectSystemObject, kAudioHardwarePropertyDevices, -50);
    EXPECT_EQ(audioErrorOf(list), "Reading the audio device list failed (-50).");
    fail(SimulatedCall::getPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDevices,
         kAudioHardwareUnspecifiedError);
    EXPECT_EQ(audioErrorOf(list), "Reading the audio device list failed (\"what\").");
    fail(SimulatedCall::getPropertyDataSize, second, kAudioDevicePropertyStreams, -1);
    EXPECT_EQ(audioErrorOf(list), "Reading the audio device list failed (-1).");
    fail(SimulatedCall::getPropertyData, secondStream, kAudioStreamPropertyVirtualFormat, kAudioHardwareBadStreamError);
    EXPECT_EQ(audioErrorOf(list), "Reading microphone channels failed (\"!str\").");
    fail(SimulatedCall::getPropertyData, first, kAudioDevicePropertyDeviceUID, 1);
    EXPECT_EQ(audioErrorOf(list), "Reading an audio device property failed (1).");
    fail(SimulatedCall::getPropertyData, first, kAudioObjectPropertyName, 2);
    EXPECT_EQ(audioErrorOf(list), "Reading an audio device property failed (2).");

    fail(SimulatedCall::getPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, 3);
    EXPECT_EQ(audioErrorOf([] { VLMAudioHardware::defaultInputDeviceID(); }),
              "Finding the default microphone failed (3).");
    fail(SimulatedCall::getPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyTranslateUIDToDevice, 4);
    EXPECT_EQ(audioErrorOf([] { VLMAudioHardware::deviceID(VLMVirtualOutputDevice::deviceUID); }),
              "Finding the Velmora Studio Connect device failed (4).");
    fail(SimulatedCall::getPropertyData, first, kAudioDevicePropertyNominalSampleRate, 5);
    EXPECT_EQ(audioErrorOf([&] { VLMAudioHardware::nominalSampleRate(first); }),
              "Reading the microphone sample rate failed (5).");
    fail(SimulatedCall::getPropertyData, std::nullopt, kAudioTapPropertyFormat, 6);
    EXPECT_EQ(audioErrorOf([] { VLMAudioHardware::streamFormat(1234); }),
              "Reading the captured audio format failed (6).");
}

} // namespace
