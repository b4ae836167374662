#include "AudioHardwareBackend.h"

#include <atomic>

namespace {

class NotRunningBackend final : public AudioHardwareBackend {
public:
    explicit NotRunningBackend(AVAuthorizationStatus authorization) : authorization_(authorization) {}

    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*,
                                 std::uint32_t*) override { return kAudioHardwareNotRunningError; }
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*,
                             std::uint32_t*, void*) override { return kAudioHardwareNotRunningError; }
    OSStatus setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*,
                             std::uint32_t, const void*) override { return kAudioHardwareNotRunningError; }
    OSStatus addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, dispatch_queue_t,
                                 const AudioObjectPropertyListenerBlock&) override
    {
        return kAudioHardwareNotRunningError;
    }
    OSStatus removePropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, dispatch_queue_t,
                                    const AudioObjectPropertyListenerBlock&) override
    {
        return kAudioHardwareNotRunningError;
    }
    OSStatus createIOProc(AudioDeviceIOProcID*, AudioObjectID, dispatch_queue_t, const AudioDeviceIOBlock&) override
    {
        return kAudioHardwareNotRunningError;
    }
    OSStatus destroyIOProc(AudioObjectID, AudioDeviceIOProcID) override { return kAudioHardwareNotRunningError; }
    OSStatus startDevice(AudioObjectID, AudioDeviceIOProcID) override { return kAudioHardwareNotRunningError; }
    OSStatus stopDevice(AudioObjectID, AudioDeviceIOProcID) override { return kAudioHardwareNotRunningError; }
    OSStatus createProcessTap(const CATapDescription&, AudioObjectID*) override { return kAudioHardwareNotRunningError; }
    OSStatus destroyProcessTap(AudioObjectID) override { return kAudioHardwareNotRunningError; }
    OSStatus createAggregateDevice(const CFDictionary&, AudioObjectID*) override { return kAudioHardwareNotRunningError; }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return kAudioHardwareNotRunningError; }
    AVAuthorizationStatus microphoneAuthorizationStatus() override { return authorization_; }
    void requestMicrophoneAccess(std::function<void(bool)> completion) override
    {
        if (completion)
            completion(authorization_ == AVAuthorizationStatus::authorized);
    }

private:
    const AVAuthorizationStatus authorization_;
};

std::shared_ptr<AudioHardwareBackend>& installedBackend()
{
    static std::shared_ptr<AudioHardwareBackend> backend = AudioHardwareMakeNotRunningBackend();
    return backend;
}

AudioHardwareBackend& backend() { return *installedBackend(); }

} // namespace

std::shared_ptr<AudioHardwareBackend> AudioHardwareMakeNotRunningBackend(AVAuthorizationStatus microphoneAuthorization)
{
    return std::make_shared<NotRunningBackend>(microphoneAuthorization);
}

void AudioHardwareInstallBackend(std::shared_ptr<AudioHardwareBackend> newBackend)
{
    installedBackend() = newBackend ? std::move(newBackend) : AudioHardwareMakeNotRunningBackend();
}

std::shared_ptr<AudioHardwareBackend> AudioHardwareCurrentBackend() { return installedBackend(); }

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        std::uint32_t inQualifierDataSize, const void* inQualifierData,
                                        std::uint32_t* outDataSize)
{
    if (!inAddress || !outDataSize)
        return kAudio_ParamError;
    return backend().getPropertyDataSize(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, outDataSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    std::uint32_t inQualifierDataSize, const void* inQualifierData,
                                    std::uint32_t* ioDataSize, void* outData)
{
    if (!inAddress || !ioDataSize || !outData)
        return kAudio_ParamError;
    return backend().getPropertyData(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, ioDataSize,
                                     outData);
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    std::uint32_t inQualifierDataSize, const void* inQualifierData,
                                    std::uint32_t inDataSize, const void* inData)
{
    if (!inAddress || (inDataSize && !inData))
        return kAudio_ParamError;
    return backend().setPropertyData(inObjectID, *inAddress, inQualifierDataSize, inQualifierData, inDataSize,
                                     inData);
}

OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                             dispatch_queue_t inDispatchQueue,
                                             AudioObjectPropertyListenerBlock inListener)
{
    if (!inAddress || !inListener)
        return kAudio_ParamError;
    return backend().addPropertyListener(inObjectID, *inAddress, inDispatchQueue, inListener);
}

OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                const AudioObjectPropertyAddress* inAddress,
                                                dispatch_queue_t inDispatchQueue,
                                                AudioObjectPropertyListenerBlock inListener)
{
    if (!inAddress || !inListener)
        return kAudio_ParamError;
    return backend().removePropertyListener(inObjectID, *inAddress, inDispatchQueue, inListener);
}

OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                            dispatch_queue_t inDispatchQueue, AudioDeviceIOBlock inIOBlock)
{
    if (!outIOProcID || !inIOBlock)
        return kAudio_ParamError;
    return backend().createIOProc(outIOProcID, inDevice, inDispatchQueue, inIOBlock);
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID)
{
    return backend().destroyIOProc(inDevice, inIOProcID);
}

OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID)
{
    return backend().startDevice(inDevice, inProcID);
}

OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID)
{
    return backend().stopDevice(inDevice, inProcID);
}

OSStatus AudioHardwareCreateProcessTap(const CATapDescription* inDescription, AudioObjectID* outTapID)
{
    if (!inDescription || !outTapID)
        return kAudio_ParamError;
    return backend().createProcessTap(*inDescription, outTapID);
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) { return backend().destroyProcessTap(inTapID); }

OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID)
{
    if (!inDescription || !outDeviceID)
        return kAudio_ParamError;
    return backend().createAggregateDevice(*inDescription, outDeviceID);
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID)
{
    return backend().destroyAggregateDevice(inDeviceID);
}
