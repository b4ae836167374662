#pragma once
// The system object's power hint: a process tells the audio system whether
// it favours saving power over keeping its audio running for nobody. The
// PipeWire backend then lets the process's node rest while nobody else records
// what it plays (PipeWire/PipeWireIdle.h); the simulated system has no power
// to save and does not know the property.

#include "CoreAudioTypes.h"

constexpr AudioObjectPropertySelector kAudioHardwarePropertyPowerHint = FourCC("powh");

enum AudioHardwarePowerHint : std::uint32_t {
    kAudioHardwarePowerHintNone = 0,
    kAudioHardwarePowerHintFavorSavingPower = 1,
};
