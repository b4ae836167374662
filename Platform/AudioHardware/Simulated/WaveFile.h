#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes interleaved 32-bit float samples as a WAV file (IEEE float format).
bool writeWaveFile(const std::string& path, const std::vector<float>& interleaved, std::uint32_t channels,
                   double sampleRate);
