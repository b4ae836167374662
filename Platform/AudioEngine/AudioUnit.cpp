#include "AudioUnit.h"

#include "AVAudioEngine.h"
#include "OutputUnit.h"

#include <cstring>

namespace {

OSStatus checkAddress(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element)
{
    if (!unit || !unit->engine)
        return kAudio_ParamError;
    if (id != kAudioOutputUnitProperty_CurrentDevice)
        return kAudioUnitErr_InvalidProperty;
    if (scope != kAudioUnitScope_Global)
        return kAudioUnitErr_InvalidScope;
    if (element != 0)
        return kAudioUnitErr_InvalidElement;
    return kAudioHardwareNoError;
}

} // namespace

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, std::uint32_t inDataSize)
{
    if (const OSStatus status = checkAddress(inUnit, inID, inScope, inElement))
        return status;
    if (!inData || inDataSize != sizeof(AudioObjectID))
        return kAudioUnitErr_InvalidPropertyValue;
    AudioObjectID device = kAudioObjectUnknown;
    std::memcpy(&device, inData, sizeof device);
    return inUnit->engine->setCurrentDevice(device);
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, std::uint32_t* ioDataSize)
{
    if (const OSStatus status = checkAddress(inUnit, inID, inScope, inElement))
        return status;
    if (!outData || !ioDataSize || *ioDataSize < sizeof(AudioObjectID))
        return kAudioUnitErr_InvalidPropertyValue;
    const AudioObjectID device = inUnit->engine->currentDevice_;
    std::memcpy(outData, &device, sizeof device);
    *ioDataSize = sizeof device;
    return kAudioHardwareNoError;
}
