#pragma once
// Captures what Velmora Studio and Apple Music play, without muting them:
// a process tap on their bundle identifiers, read through a private
// aggregate device by an IOProc into a ring buffer.

#include "AudioHardware/AudioHardware.h"
#include "VLMAudioRingBuffer.h"

#include <optional>

class VLMProcessTap {
public:
    static constexpr const char* tapName = "Velmora Studio and Music";
    static constexpr const char* velmoraBundleID = "com.tarnwick.velmora";
    static constexpr const char* musicBundleID = "com.apple.Music";
    static constexpr const char* aggregateDeviceName = "Velmora Studio Connect Capture";
    static constexpr const char* aggregateDeviceUID = "com.tarnwick.VelmoraStudioConnect.Capture";

    explicit VLMProcessTap(VLMAudioRingBuffer* ringBuffer);
    ~VLMProcessTap();
    VLMProcessTap(const VLMProcessTap&) = delete;
    VLMProcessTap& operator=(const VLMProcessTap&) = delete;

    // Starts capturing; returns the tapped audio's sample rate, unchecked.
    // Throws VLMAudioError, leaving no tap, aggregate device or IOProc behind.
    double start();
    void stop();

private:
    VLMAudioRingBuffer* const ringBuffer;
    AudioObjectID tapID = 0;
    AudioObjectID aggregateDeviceID = 0;
    std::optional<AudioDeviceIOProcID> ioProcID;
};
