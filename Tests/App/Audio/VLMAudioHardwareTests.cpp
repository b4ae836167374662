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

} // namespace
