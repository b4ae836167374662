#include "VLMAudioDeviceMonitor.h"

#include <iterator>

namespace {

constexpr AudioObjectPropertyAddress devicesAddress = {
    kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
constexpr AudioObjectPropertyAddress defaultInputAddress = {
    kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
constexpr AudioObjectPropertyAddress ioStallAddress = {
    kAudioHardwarePropertyIOStall, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
constexpr AudioObjectPropertyAddress addresses[] = {devicesAddress, defaultInputAddress, ioStallAddress};

} // namespace

VLMAudioDeviceMonitor::VLMAudioDeviceMonitor()
    : systemObject(kAudioObjectSystemObject), queue(dispatch_get_main_queue())
{
}

VLMAudioDeviceMonitor::~VLMAudioDeviceMonitor() { stop(); }

bool VLMAudioDeviceMonitor::start(std::function<void()> handler)
{
    if (listener)
        return true;
    AudioObjectPropertyListenerBlock block = [handler = std::move(handler)](std::uint32_t,
                                                                           const AudioObjectPropertyAddress*) {
        if (handler)
            handler();
    };
    for (std::size_t i = 0; i < std::size(addresses); ++i) {
        if (AudioObjectAddPropertyListenerBlock(systemObject, &addresses[i], queue, block) == kAudioHardwareNoError)
            continue;
        while (i-- > 0)
            AudioObjectRemovePropertyListenerBlock(systemObject, &addresses[i], queue, block);
        return false;
    }
    listener = std::move(block);
    return true;
}

void VLMAudioDeviceMonitor::stop()
{
    if (!listener)
        return;
    for (const AudioObjectPropertyAddress& address : addresses)
        AudioObjectRemovePropertyListenerBlock(systemObject, &address, queue, *listener);
    listener.reset();
}
