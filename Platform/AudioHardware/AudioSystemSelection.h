#pragma once
// Chooses the process's audio system from the environment variable
// VLM_AUDIO_SYSTEM:
//   simulated  the demonstration (Simulated/SimulatedDemonstration.h);
//   pipewire   the PipeWire server, or, when none answers, a system whose
//              calls all fail with kAudioHardwareNotRunningError;
//   unset      the same as pipewire.
// The caller installs the result with AudioHardwareInstallBackend().

#include "AudioHardware/AudioHardwareBackend.h"

#include <memory>
#include <string>

enum class AudioSystemKind { simulated, pipewire };

// The kind that VLM_AUDIO_SYSTEM names; PipeWire for anything else.
AudioSystemKind audioSystemKindFromEnvironment();

std::shared_ptr<AudioHardwareBackend> makeAudioSystemFromEnvironment();
std::shared_ptr<AudioHardwareBackend> makeAudioSystem(AudioSystemKind kind);

// A system that answers nothing: every call fails with
// kAudioHardwareNotRunningError. Microphone access counts as authorized, so
// that the program gets as far as the first failing call and reports it.
std::shared_ptr<AudioHardwareBackend> makeUnavailableAudioSystem();
