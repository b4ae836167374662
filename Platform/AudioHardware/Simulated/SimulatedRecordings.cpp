// What output devices received, kept for inspection and WAV files.

#include "SimulatedAudioSystemImpl.h"

#include "WaveFile.h"

std::vector<float> SimulatedAudioSystem::recordedOutput(AudioObjectID id) const
{
    const Device* device = findDevice(id);
    if (!device)
        return {};
    const std::size_t count = device->recordedSamples.load(std::memory_order_acquire);
    return std::vector<float>(device->recording.begin(), device->recording.begin() + std::ptrdiff_t(count));
}

bool SimulatedAudioSystem::writeRecordedOutput(AudioObjectID id, const std::string& wavPath) const
{
    const Device* device = findDevice(id);
    return device && writeWaveFile(wavPath, recordedOutput(id), 2, device->rate());
}

void SimulatedAudioSystem::clearRecordedOutput(AudioObjectID id)
{
    if (Device* device = findDevice(id)) {
        pauseIO();
        device->recordedSamples.store(0, std::memory_order_relaxed);
        resumeIO();
    }
}
