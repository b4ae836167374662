#pragma once
// The real Linux audio system behind the audio hardware calls: a PipeWire
// server, reached through libpipewire.
//
// How the object model maps onto the PipeWire graph:
// - the system object lists the audio device nodes (Audio/Source,
//   Audio/Source/Virtual, Audio/Sink, Audio/Duplex) under AudioObjectIDs that
//   stay fixed for as long as each node lives; the default input and output
//   are the nodes named by the session's "default" metadata, which is bound
//   afresh whenever a client leaves (PipeWire can leave earlier listeners
//   without a change, see refreshMetadata()); a UID is a node name;
// - a device has one input stream when it captures and one output stream when
//   it plays; rates are the graph's unless this process asked for another;
// - an IOProc is a pw_stream on the device's node, running on PipeWire's data
//   thread; on a private aggregate device it is a capture filter to which the
//   output ports of the tapped applications are linked, in addition to their
//   own links; starting one returns once it is linked and runs (bounded by
//   the server timeout), and links the server drops are made again;
// - a process tap follows the application streams whose application.id or
//   pipewire.access.portal.app_id is one of its bundle identifiers.
//
// Every call is synchronous and may come from any thread except PipeWire's
// own; listeners run on the queue they were registered with.

#include "AudioHardware/AudioHardwareBackend.h"

#include <memory>

class PipeWireAudioSystem final : public AudioHardwareBackend {
public:
    // Connects to the server that the environment names (PIPEWIRE_REMOTE,
    // PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR) and reads its graph; null when
    // no server answers.
    static std::shared_ptr<PipeWireAudioSystem> connect();

    ~PipeWireAudioSystem() override;
    PipeWireAudioSystem(const PipeWireAudioSystem&) = delete;
    PipeWireAudioSystem& operator=(const PipeWireAudioSystem&) = delete;

    // Waits until every change that the server made before this call is part
    // of what the calls answer (and its listeners are queued). False when the
    // server did not answer in time or the connection is lost.
    bool synchronize();
    // False once the server has gone away; every call then fails with
    // kAudioHardwareNotRunningError.
    bool isConnected() const;

    // AudioHardwareBackend
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier, std::uint32_t size,
                             const void* data) override;
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 dispatch_queue_t queue, const AudioObjectPropertyListenerBlock& listener) override;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    dispatch_queue_t queue, const AudioObjectPropertyListenerBlock& listener) override;
    OSStatus createIOProc(AudioDeviceIOProcID* outID, AudioObjectID device, dispatch_queue_t queue,
                          const AudioDeviceIOBlock& block) override;
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const CFDictionary& description, AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    // Linux has no per-application microphone permission: always authorized.
    AVAuthorizationStatus microphoneAuthorizationStatus() override;
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;

    struct Impl;

private:
    explicit PipeWireAudioSystem(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};
