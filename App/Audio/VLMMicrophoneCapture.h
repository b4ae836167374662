#pragma once
// Captures one microphone through an IOProc on its device into a ring buffer.

#include "AudioHardware/AudioHardware.h"
#include "VLMAudioRingBuffer.h"

#include <optional>

class VLMMicrophoneCapture {
public:
    explicit VLMMicrophoneCapture(VLMAudioRingBuffer* ringBuffer);
    ~VLMMicrophoneCapture();
    VLMMicrophoneCapture(const VLMMicrophoneCapture&) = delete;
    VLMMicrophoneCapture& operator=(const VLMMicrophoneCapture&) = delete;

    // Starts capturing; returns the device's nominal sample rate. Throws
    // VLMAudioError, leaving nothing registered on the device.
    double start(AudioObjectID deviceID);
    void stop();

    bool isRunning() const { return deviceID != 0 && ioProcID.has_value(); }
    // The device being captured; 0 when none.
    AudioObjectID capturedDeviceID() const { return deviceID; }

private:
    void enableInputStreams(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID);

    VLMAudioRingBuffer* const ringBuffer;
    AudioObjectID deviceID = 0;
    std::optional<AudioDeviceIOProcID> ioProcID;
};
