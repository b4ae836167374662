#include "EngineTestSupport.h"

#include <cmath>
#include <memory>
#include <numbers>

namespace enginetest {

AVAudioSourceNodeRenderBlock sineBlock(double frequency, float amplitude, double sampleRate)
{
    auto frame = std::make_shared<std::uint64_t>(0);
    return [frame, frequency, amplitude, sampleRate](bool*, const AudioTimeStamp*, AVAudioFrameCount frames,
                                                     AudioBufferList* data) {
        for (AVAudioFrameCount f = 0; f < frames; ++f) {
            const double phase = std::fmod(double(*frame + f) * frequency / sampleRate, 1.0);
            const auto value = float(amplitude * std::sin(2.0 * std::numbers::pi * phase));
            for (std::uint32_t b = 0; b < data->mNumberBuffers; ++b)
                static_cast<float*>(data->mBuffers[b].mData)[f] = value;
        }
        *frame += frames;
        return OSStatus(0);
    };
}

AVAudioSourceNodeRenderBlock constantBlock(std::vector<float> values)
{
    return [values](bool*, const AudioTimeStamp*, AVAudioFrameCount frames, AudioBufferList* data) {
        for (std::uint32_t b = 0; b < data->mNumberBuffers; ++b) {
            const float value = values[std::min<std::size_t>(b, values.size() - 1)];
            std::fill_n(static_cast<float*>(data->mBuffers[b].mData), frames, value);
        }
        return OSStatus(0);
    };
}

double toneAmplitude(const std::vector<float>& samples, double frequency, double sampleRate)
{
    const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
    const std::size_t n = samples.size();
    double re = 0, im = 0, windowSum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / double(n - 1));
        re += samples[i] * window * std::cos(w * double(i));
        im += samples[i] * window * std::sin(w * double(i));
        windowSum += window;
    }
    return 2.0 * std::hypot(re, im) / windowSum;
}

double residualDecibels(const std::vector<float>& samples, double frequency, double sampleRate)
{
    // Least squares fit of a·sin + b·cos (the signals here have no offset).
    const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
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

std::vector<float> channel(const std::vector<float>& interleaved, std::size_t channels, std::size_t index)
{
    std::vector<float> result;
    for (std::size_t i = index; i < interleaved.size(); i += channels)
        result.push_back(interleaved[i]);
    return result;
}

std::vector<std::vector<float>> renderBlocks(AVAudioEngine& engine, AVAudioFrameCount frames, int blocks)
{
    const auto format = engine.manualRenderingFormat();
    AVAudioPCMBuffer buffer(format, frames);
    std::vector<std::vector<float>> result(format->channelCount());
    for (int i = 0; i < blocks; ++i) {
        if (engine.renderOffline(frames, buffer) != AVAudioEngineManualRenderingStatus::success)
            break;
        for (std::uint32_t c = 0; c < format->channelCount(); ++c)
            result[c].insert(result[c].end(), buffer.floatChannelData()[c],
                             buffer.floatChannelData()[c] + buffer.frameLength());
    }
    return result;
}

} // namespace enginetest
