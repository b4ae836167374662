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

AVAudioSourceNodeRenderBlock frameNumberBlock()
{
    return [next = 0.0f](bool*, const AudioTimeStamp*, AVAudioFrameCount frames, AudioBufferList* data) mutable {
        for (std::uint32_t b = 0; b < data->mNumberBuffers; ++b) {
            auto* samples = static_cast<float*>(data->mBuffers[b].mData);
            for (AVAudioFrameCount i = 0; i < frames; ++i)
                samples[i] = next + float(i);
        }
        next += float(frames);
        return OSStatus(0);
    };
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
