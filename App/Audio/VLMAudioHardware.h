#pragma once
// Stateless queries against the audio object model. Every failing platform
// call is thrown as VLMAudioError::operationFailed with the step's context.

#include "VLMAudioDevice.h"
#include "VLMAudioError.h"

#include <optional>
#include <string>
#include <vector>

class VLMAudioHardware {
public:
    VLMAudioHardware() = delete;

    static std::optional<std::string> stringProperty(AudioObjectID objectID, AudioObjectPropertySelector selector);
    // Input devices in display order, without the virtual output device.
    static std::vector<VLMAudioDevice> inputDevices();
    static AudioObjectID defaultInputDeviceID();
    static std::optional<AudioObjectID> deviceID(const std::string& forUID);
    static double nominalSampleRate(AudioObjectID deviceID);
    static AudioStreamBasicDescription streamFormat(AudioObjectID tapID);
    // The channels of all of a device's input streams together.
    static std::uint32_t inputChannelCount(AudioObjectID deviceID);
    // An object-list property: devices, streams, ...
    // kAudioHardwarePropertyIOStall; running when the system does not say.
    static std::uint32_t ioStall();
    static std::vector<AudioObjectID> objectIDs(AudioObjectID objectID, const AudioObjectPropertyAddress& address);
    // Tells the audio system whether the process favours saving power (its
    // window is not seen); a system without the power hint ignores it.
    static void setFavorsSavingPower(bool favors);
};
