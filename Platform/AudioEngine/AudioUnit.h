#pragma once
// The output unit's properties: which device the engine plays into.

#include "AudioHardware/CoreAudioTypes.h"

#include <cstdint>

struct OpaqueAudioUnit;
using AudioUnit = OpaqueAudioUnit*;
using AudioUnitPropertyID = std::uint32_t;
using AudioUnitScope = std::uint32_t;
using AudioUnitElement = std::uint32_t;

constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = 2000;
constexpr AudioUnitScope kAudioUnitScope_Global = 0;
constexpr AudioUnitScope kAudioUnitScope_Input = 1;
constexpr AudioUnitScope kAudioUnitScope_Output = 2;

constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;

// kAudioOutputUnitProperty_CurrentDevice, global scope, element 0, a 4-byte
// AudioObjectID of a device with output streams. Fails with kAudio_ParamError
// for a null unit, kAudioUnitErr_InvalidPropertyValue for a wrong size, no data
// or a device without output streams, the hardware's status when the device
// cannot be asked (unknown device), and kAudioUnitErr_CannotDoInCurrentContext
// while the engine plays.
OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, std::uint32_t inDataSize);
// The current device: the one set, or kAudioObjectUnknown while the engine
// follows the system's default output device.
OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, std::uint32_t* ioDataSize);
