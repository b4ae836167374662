#pragma once

#include "AudioHardware/CoreAudioTypes.h"

#include <string>

// One input device, as the microphone picker lists it.
struct VLMAudioDevice {
    AudioObjectID id = 0;
    std::string uid;
    std::string name;
    std::uint32_t inputChannelCount = 0;

    friend bool operator==(const VLMAudioDevice&, const VLMAudioDevice&) = default;
};
