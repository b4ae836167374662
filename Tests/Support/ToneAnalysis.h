#pragma once
// Measuring what came out: tones, levels and clicks in recorded samples.

#include <algorithm>
#include <cmath>
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

// The peak amplitude of the sine of `frequency` in `count` samples taken
// every `stride` floats: a Goertzel filter over a Hann window, scaled back
// to the sine's peak, so a tone that does not fill whole periods still
// measures right.
inline double toneAmplitude(const float* samples, std::size_t count, std::size_t stride, double sampleRate,
                            double frequency)
{
    if (count < 2)
        return 0.0;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
    double s1 = 0, s2 = 0, windowSum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(count - 1));
        windowSum += window;
        const double s = window * samples[i * stride] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

inline double toneAmplitude(const std::vector<float>& samples, double sampleRate, double frequency)
{
    return toneAmplitude(samples.data(), samples.size(), 1, sampleRate, frequency);
}

// The same for one channel of an interleaved recording from a real server,
// after the first `skipSeconds`: the median over 100 ms blocks, so that a
// cycle a busy machine drops now and then does not count against the tone.
inline double toneAmplitude(const std::vector<float>& interleaved, std::uint32_t channels, std::uint32_t channel,
                            double sampleRate, double frequency, double skipSeconds = 0.25)
{
    const std::size_t block = std::size_t(sampleRate / 10);
    const std::size_t total = interleaved.size() / channels;
    std::vector<double> amplitudes;
    for (std::size_t at = std::size_t(skipSeconds * sampleRate); at + block <= total; at += block)
        amplitudes.push_back(toneAmplitude(interleaved.data() + at * channels + channel, block, channels, sampleRate,
                                           frequency));
    if (amplitudes.empty())
        return 0;
    std::nth_element(amplitudes.begin(), amplitudes.begin() + std::ptrdiff_t(amplitudes.size() / 2),
                     amplitudes.end());
    return amplitudes[amplitudes.size() / 2];
}

// What remains after removing the best-fitting sine at `frequency`: its RMS
// relative to that sine's, in dB.
inline double residualDecibels(const std::vector<float>& samples, double sampleRate, double frequency)
{
    // Least squares fit of a·sin + b·cos (the signals here have no offset).
    const double w = 2 * std::numbers::pi * frequency / sampleRate;
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double s = std::sin(w * double(i)), c = std::cos(w * double(i));
        ss += s * s, cc += c * c, sc += s * c, ys += samples[i] * s, yc += samples[i] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double signal = 0, residual = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double fit = a * std::sin(w * double(i)) + b * std::cos(w * double(i));
        signal += fit * fit;
        residual += (samples[i] - fit) * (samples[i] - fit);
    }
    return 10.0 * std::log10(residual / signal);
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
