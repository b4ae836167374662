#include "VLMAudioDeviceMonitor.h"

namespace {

constexpr AudioObjectPropertyAddress devicesAddress = {
    kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
constexpr AudioObjectPropertyAddress defaultInputAddress = {
    kAudioHardwarePropertyDefaultInputDevice, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

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
    if (AudioObjectAddPropertyListenerBlock(systemObject, &devicesAddress, queue, block) != kAudioHardwareNoError)
        return false;
    if (AudioObjectAddPropertyListenerBlock(systemObject, &defaultInputAddress, queue, block)
        != kAudioHardwareNoError) {
        AudioObjectRemovePropertyListenerBlock(systemObject, &devicesAddress, queue, block);
        return false;
    }
    listener = std::move(block);
    return true;
}

void VLMAudioDeviceMonitor::stop()
{
    if (!listener)
        return;
    AudioObjectRemovePropertyListenerBlock(systemObject, &devicesAddress, queue, *listener);
    AudioObjectRemovePropertyListenerBlock(systemObject, &defaultInputAddress, queue, *listener);
    listener.reset();
}
