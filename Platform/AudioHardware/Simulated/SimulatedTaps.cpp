// Process taps on applications and the private aggregate devices that carry them.

#include "SimulatedAudioSystemImpl.h"

#include <algorithm>

// ---------------------------------------------------------------------------
// Process taps and aggregate devices

OSStatus SimulatedAudioSystem::createProcessTap(const CATapDescription& description, AudioObjectID* outTapID)
{
    auto finish = [&](OSStatus s, AudioObjectID result = 0) {
        return record(SimulatedCall::createProcessTap, 0, 0, s, result);
    };
    lastTapDescription_ = description;
    if (const SimulatedFault* fault = takeFault(SimulatedCall::createProcessTap, 0, 0)) {
        if (!fault->withoutResult)
            return finish(fault->status);
        *outTapID = 0;
        return finish(kAudioHardwareNoError);
    }
    auto tap = std::make_unique<Tap>();
    tap->id = nextObjectID_++;
    tap->uid = "SimulatedProcessTap-" + std::to_string(tap->id);
    tap->description = description;
    *outTapID = tap->id;
    taps_.emplace(tap->id, std::move(tap));
    return finish(kAudioHardwareNoError, *outTapID);
}

OSStatus SimulatedAudioSystem::destroyProcessTap(AudioObjectID tapID)
{
    auto finish = [&](OSStatus s) { return record(SimulatedCall::destroyProcessTap, tapID, 0, s); };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::destroyProcessTap, tapID, 0))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);
    if (!findTap(tapID))
        return finish(kAudioHardwareBadObjectError);
    pauseIO();
    taps_.erase(tapID);
    resumeIO();
    return finish(kAudioHardwareNoError);
}

OSStatus SimulatedAudioSystem::createAggregateDevice(const CFDictionary& description, AudioObjectID* outDeviceID)
{
    auto finish = [&](OSStatus s, AudioObjectID result = 0) {
        return record(SimulatedCall::createAggregateDevice, 0, 0, s, result);
    };
    lastAggregateDescription_ = description;
    if (const SimulatedFault* fault = takeFault(SimulatedCall::createAggregateDevice, 0, 0)) {
        if (!fault->withoutResult)
            return finish(fault->status);
        *outDeviceID = 0;
        return finish(kAudioHardwareNoError);
    }
    auto lookup = [&](const char* key) -> const CFPropertyList* {
        auto it = description.find(key);
        return it == description.end() ? nullptr : &it->second;
    };
    const CFPropertyList* uid = lookup(kAudioAggregateDeviceUIDKey);
    if (!uid || !uid->string() || deviceWithUID(*uid->string()))
        return finish(kAudioHardwareIllegalOperationError);

    AudioObjectID tapID = 0;
    if (const CFPropertyList* taps = lookup(kAudioAggregateDeviceTapListKey)) {
        if (!taps->array())
            return finish(kAudio_ParamError);
        for (const CFPropertyList& entry : *taps->array()) {
            const CFDictionary* sub = entry.dictionary();
            auto tapUID = sub ? sub->find(kAudioSubTapUIDKey) : CFDictionary::const_iterator();
            if (!sub || tapUID == sub->end() || !tapUID->second.string())
                return finish(kAudio_ParamError);
            auto tap = std::find_if(taps_.begin(), taps_.end(),
                                    [&](auto& t) { return t.second->uid == *tapUID->second.string(); });
            if (tap == taps_.end())
                return finish(kAudioHardwareBadObjectError);
            tapID = tap->first;
        }
    }

    SimulatedDeviceDescription d;
    d.uid = *uid->string();
    if (const CFPropertyList* name = lookup(kAudioAggregateDeviceNameKey); name && name->string())
        d.name = *name->string();
    d.inputStreamChannels = {2};
    d.nominalSampleRate = tapSampleRate_;
    d.bufferFrameSize = tapBufferFrameSize_;

    pauseIO();
    auto device = std::make_unique<Device>();
    device->id = nextObjectID_++;
    device->inputStreams.push_back(nextObjectID_++);
    device->description = std::move(d);
    device->isAggregate = true;
    const CFPropertyList* isPrivate = lookup(kAudioAggregateDeviceIsPrivateKey);
    device->isPrivate = isPrivate && isPrivate->boolean() && *isPrivate->boolean();
    device->tap = tapID;
    *outDeviceID = device->id;
    const bool listed = !device->isPrivate;
    devices_.emplace(device->id, std::move(device));
    resumeIO();
    if (listed)
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return finish(kAudioHardwareNoError, *outDeviceID);
}

OSStatus SimulatedAudioSystem::destroyAggregateDevice(AudioObjectID deviceID)
{
    auto finish = [&](OSStatus s) { return record(SimulatedCall::destroyAggregateDevice, deviceID, 0, s); };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::destroyAggregateDevice, deviceID, 0))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);
    Device* device = findDevice(deviceID);
    if (!device || !device->isAggregate)
        return finish(kAudioHardwareBadDeviceError);
    const bool listed = !device->isPrivate;
    pauseIO();
    devices_.erase(deviceID);
    resumeIO();
    if (listed)
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return finish(kAudioHardwareNoError);
}
