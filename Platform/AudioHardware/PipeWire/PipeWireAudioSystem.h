#pragma once
// The real Linux audio system behind the audio hardware calls: a PipeWire
// server, reached through libpipewire.
//
// How the object model maps onto the PipeWire graph:
// - the system object lists the audio device nodes (Audio/Source,
//   Audio/Source/Virtual, Audio/Sink, Audio/Duplex) under AudioObjectIDs that
//   stay fixed for as long as each node lives and are never given again; the
//   default input and output are the nodes named by the session's "default"
//   metadata; a UID is a node name;
// - a device has one input stream when it captures and one output stream when
//   it plays; every device runs at the graph's rate and quantum;
// - every IOProc of the process is a route through the program's one node
//   (PipeWireProgramNode.h), all run in one process callback on PipeWire's
//   data thread, captures before playbacks, so sound captured in a cycle is
//   played in that cycle; the node's links to the devices and to the tapped
//   applications put all of them on one driver's clock;
// - a process tap follows the application streams whose application.id or
//   pipewire.access.portal.app_id is one of its bundle identifiers, linked
//   in addition to their own links, so nothing is muted.
//
// The server may come and go: without one the system has no devices (as if
// all were unplugged), and it is connected again in the background, when its
// devices appear as new ones. Calls never wait for the server, except the
// first answer in connect() (briefly) and synchronize(). Listeners run on the
// queue they were registered with.

#include "AudioHardware/AudioHardwareBackend.h"

#include <memory>

class PipeWireAudioSystem final : public AudioHardwareBackend {
public:
    // Connects to the server that the environment names (PIPEWIRE_REMOTE,
    // PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR) and reads its graph if it answers
    // at once; keeps connecting in the background otherwise. Null only when
    // libpipewire itself cannot run.
    static std::shared_ptr<PipeWireAudioSystem> connect();

    ~PipeWireAudioSystem() override;
    PipeWireAudioSystem(const PipeWireAudioSystem&) = delete;
    PipeWireAudioSystem& operator=(const PipeWireAudioSystem&) = delete;

    // Waits until every change that the server made before this call is part
    // of what the calls answer (and its listeners are queued). False when the
    // server did not answer in time or the connection is lost.
    bool synchronize();

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
