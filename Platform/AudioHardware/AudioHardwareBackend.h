#pragma once
// What answers the audio hardware calls. One backend serves the whole
// process: the simulated audio system in tests and demonstrations, the
// system's real audio server otherwise.

#include "AudioHardware.h"

#include <functional>
#include <memory>

// The name of every thread on which a backend runs IOProcs.
inline constexpr const char* kAudioHardwareIOThreadName = "vlm-audio-io";

// Microphone authorization values, as the capture device reports them.
enum class AVAuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
};

class AudioHardwareBackend {
public:
    virtual ~AudioHardwareBackend() = default;

    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         std::uint32_t qualifierSize, const void* qualifier,
                                         std::uint32_t* outSize) = 0;
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* ioSize,
                                     void* outData) = 0;
    virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t qualifierSize, const void* qualifier, std::uint32_t size,
                                     const void* data) = 0;
    virtual OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         dispatch_queue_t queue, const AudioObjectPropertyListenerBlock& listener) = 0;
    virtual OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            dispatch_queue_t queue,
                                            const AudioObjectPropertyListenerBlock& listener) = 0;

    virtual OSStatus createIOProc(AudioDeviceIOProcID* outID, AudioObjectID device, dispatch_queue_t queue,
                                  const AudioDeviceIOBlock& block) = 0;
    virtual OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID id) = 0;
    virtual OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID id) = 0;
    virtual OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID id) = 0;

    virtual OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    virtual OSStatus createAggregateDevice(const CFDictionary& description, AudioObjectID* outDeviceID) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // Microphone permission. The answer to a request may arrive on any thread.
    virtual AVAuthorizationStatus microphoneAuthorizationStatus() = 0;
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;
};

// A backend for a system that is not there: every call fails with
// kAudioHardwareNotRunningError, and microphone access is answered as given.
std::shared_ptr<AudioHardwareBackend>
AudioHardwareMakeNotRunningBackend(AVAuthorizationStatus microphoneAuthorization = AVAuthorizationStatus::denied);

// Installs the backend that answers every call from now on; null restores the
// initial one, which fails every call with kAudioHardwareNotRunningError.
// Install only while no call is under way and no device runs.
void AudioHardwareInstallBackend(std::shared_ptr<AudioHardwareBackend> backend);
std::shared_ptr<AudioHardwareBackend> AudioHardwareCurrentBackend();
