#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <vector>

// One channel of an interleaved stereo recording, from `startFrame` for `frames` frames.
inline std::vector<float> channelOf(const std::vector<float>& interleaved, int channel, std::size_t startFrame,
                                    std::size_t frames)
{
    std::vector<float> out;
    for (std::size_t f = startFrame; f < startFrame + frames && 2 * f + 1 < interleaved.size(); ++f)
        out.push_back(interleaved[2 * f + std::size_t(channel)]);
    return out;
}

// The peak amplitude of the `frequency` component (a single-bin DFT, as a
// Goertzel filter computes it). Exact for a whole number of periods.
inline double toneAmplitude(const std::vector<float>& samples, double sampleRate, double frequency)
{
    std::complex<double> sum;
    const double step = 2 * std::numbers::pi * frequency / sampleRate;
    for (std::size_t n = 0; n < samples.size(); ++n)
        sum += double(samples[n]) * std::polar(1.0, -step * double(n));
    return samples.empty() ? 0.0 : 2 * std::abs(sum) / double(samples.size());
}

inline double rms(const std::vector<float>& samples)
{
    double sum = 0;
    for (float s : samples)
        sum += double(s) * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}

// Where a click came out: the loudest frame of `channel` from `startFrame` up
// to `endFrame`, or -1 when all of it is silent.
inline std::int64_t loudestFrame(const std::vector<float>& interleaved, int channel, std::size_t startFrame,
                                 std::size_t endFrame)
{
    std::int64_t loudest = -1;
    float peak = 0.0f;
    for (std::size_t f = startFrame; f < endFrame && 2 * f + 1 < interleaved.size(); ++f)
        if (const float magnitude = std::abs(interleaved[2 * f + std::size_t(channel)]); magnitude > peak) {
            peak = magnitude;
            loudest = std::int64_t(f);
        }
    return loudest;
}
