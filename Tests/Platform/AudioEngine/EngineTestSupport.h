#pragma once
// Sources, measurements and waiting shared by the engine's tests.

#include "AVFAudio.h"
#include "Support/ToneAnalysis.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace enginetest {

inline std::shared_ptr<AVAudioFormat> format(double rate, AVAudioChannelCount channels)
{
    return AVAudioFormat::standardFormatWithSampleRate(rate, channels);
}

// Plays a sine on every channel, continuing its phase from call to call.
AVAudioSourceNodeRenderBlock sineBlock(double frequency, float amplitude, double sampleRate);
// Channel c plays values[c] (the last value for channels beyond).
AVAudioSourceNodeRenderBlock constantBlock(std::vector<float> values);
// Every channel plays the number of the frame (0, 1, 2, ...; exact up to 2^24),
// so a buffer shows which frames it holds.
AVAudioSourceNodeRenderBlock frameNumberBlock();

// One channel of interleaved samples.
std::vector<float> channel(const std::vector<float>& interleaved, std::size_t channels, std::size_t index);

// Renders `blocks` blocks of `frames` frames through a manually rendering
// engine that has been started; returns each channel's samples.
std::vector<std::vector<float>> renderBlocks(AVAudioEngine& engine, AVAudioFrameCount frames, int blocks);

// Collects values from another thread and lets a test wait for a count.
template <class T>
class Collector {
public:
    void add(T value)
    {
        {
            std::lock_guard lock(mutex_);
            values_.push_back(std::move(value));
        }
        changed_.notify_all();
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
    }
    std::vector<T> values() const
    {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

} // namespace enginetest
