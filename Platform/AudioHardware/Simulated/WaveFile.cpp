#include "WaveFile.h"

#include <cstdio>
#include <cstring>

namespace {

void put32(std::FILE* f, std::uint32_t v)
{
    const unsigned char b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

void put16(std::FILE* f, std::uint16_t v)
{
    const unsigned char b[2] = {std::uint8_t(v), std::uint8_t(v >> 8)};
    std::fwrite(b, 1, 2, f);
}

} // namespace

bool writeWaveFile(const std::string& path, const std::vector<float>& interleaved, std::uint32_t channels,
                   double sampleRate)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const std::uint32_t dataBytes = std::uint32_t(interleaved.size() * sizeof(float));
    const std::uint32_t rate = std::uint32_t(sampleRate);
    const std::uint32_t frames = channels ? std::uint32_t(interleaved.size() / channels) : 0;
    // A float WAV carries an 18-byte fmt chunk (with an empty extension) and
    // a fact chunk with the frame count.
    std::fwrite("RIFF", 1, 4, f);
    put32(f, 4 + (8 + 18) + (8 + 4) + (8 + dataBytes));
    std::fwrite("WAVEfmt ", 1, 8, f);
    put32(f, 18);
    put16(f, 3); // IEEE float
    put16(f, std::uint16_t(channels));
    put32(f, rate);
    put32(f, rate * channels * 4);
    put16(f, std::uint16_t(channels * 4));
    put16(f, 32);
    put16(f, 0); // no extension
    std::fwrite("fact", 1, 4, f);
    put32(f, 4);
    put32(f, frames);
    std::fwrite("data", 1, 4, f);
    put32(f, dataBytes);
    // Little-endian hosts only, which is every host this builds on.
    std::fwrite(interleaved.data(), sizeof(float), interleaved.size(), f);
    return std::fclose(f) == 0;
}
