#include "AudioSystemSelection.h"

#include "PipeWire/PipeWireAudioSystem.h"
#include "SimulatedDemonstration.h"

#include <cstdlib>
#include <string_view>

AudioSystemKind audioSystemKindFromEnvironment()
{
    const char* value = std::getenv("VLM_AUDIO_SYSTEM");
    return value && std::string_view(value) == "simulated" ? AudioSystemKind::simulated : AudioSystemKind::pipewire;
}

std::shared_ptr<AudioHardwareBackend> makeAudioSystemFromEnvironment()
{
    return makeAudioSystem(audioSystemKindFromEnvironment());
}

std::shared_ptr<AudioHardwareBackend> makeAudioSystem(AudioSystemKind kind)
{
    if (kind == AudioSystemKind::simulated)
        return makeSimulatedDemonstration();
    if (auto system = PipeWireAudioSystem::connect())
        return system;
    return makeUnavailableAudioSystem();
}

std::shared_ptr<AudioHardwareBackend> makeUnavailableAudioSystem()
{
    return AudioHardwareMakeNotRunningBackend(AVAuthorizationStatus::authorized);
}
