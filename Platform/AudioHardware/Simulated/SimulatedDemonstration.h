#pragma once
// The demonstration that VLM_AUDIO_SYSTEM=simulated selects: made-up
// devices and music on the real-time clock. Two microphones playing tones
// (the built-in one the default), speakers, the Velmora Studio Connect
// device, and the Velmora Studio app playing something like music.

#include "SimulatedAudioSystem.h"

#include <memory>

std::shared_ptr<SimulatedAudioSystem> makeSimulatedDemonstration();
