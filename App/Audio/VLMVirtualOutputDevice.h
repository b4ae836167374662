#pragma once
// What the program fixes about the Velmora Studio Connect virtual audio
// device: a separately installed driver that receives the mix and that
// voice-chat applications pick as their microphone.

#include "AudioHardware/CoreAudioTypes.h"

namespace VLMVirtualOutputDevice {

// The device is found by this UID, never by its name.
inline constexpr const char* deviceUID = "com.tarnwick.VelmoraStudioConnect.Device";
// The name other applications list it under.
inline constexpr const char* displayName = "Velmora Studio Connect";
// The only capture rates the device is set to; the program plays into it at that rate.
inline constexpr double supportedSampleRates[] = {44100.0, 48000.0};
inline constexpr std::uint32_t channelCount = 2;

inline constexpr AudioObjectPropertyAddress nominalSampleRateAddress = {
    kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

constexpr bool isSupportedSampleRate(double rate)
{
    for (double supported : supportedSampleRates)
        if (rate == supported)
            return true;
    return false;
}

} // namespace VLMVirtualOutputDevice
