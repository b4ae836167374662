#include "RouterTest.h"

#include "NSUserDefaults.h"

TemporaryDefaults::TemporaryDefaults() { NSUserDefaults::useFileForTesting(path().toStdString()); }

TemporaryDefaults::~TemporaryDefaults() { NSUserDefaults::useFileForTesting({}); }

QString TemporaryDefaults::path() const { return directory_.filePath("defaults.conf"); }

RouterTest::RouterTest(SimulatedClock clock) : SimulatedSystemTest(clock)
{
    microphone = addMicrophone("built-in", "Built-in Microphone");
    virtualDevice = addVirtualDevice();
}

RouterTest::~RouterTest()
{
    // The router goes before the audio system it plays through.
    router.reset();
}

VLMAudioRouter& RouterTest::makeRouter()
{
    router = VLMAudioRouter::create();
    router->delegate = recorder;
    return *router;
}

AudioObjectID RouterTest::addVirtualDevice(double rate)
{
    // Like the installed driver it has inputs too: voice-chat apps read the mix there.
    auto description = SimulatedDeviceDescription::output(VLMVirtualOutputDevice::deviceUID,
                                                          VLMVirtualOutputDevice::displayName, rate);
    description.inputStreamChannels = {2};
    return system->addDevice(description);
}

AudioObjectID RouterTest::addMicrophone(const std::string& uid, const std::string& name, double rate,
                                        SimulatedSignal signal)
{
    return system->addDevice(SimulatedDeviceDescription::microphone(uid, name, 1, rate, std::move(signal)));
}

std::size_t RouterTest::liveAudioObjects() const
{
    return system->ioProcCountOnAllDevices() + system->processTapCount() + system->aggregateDeviceCount();
}
