#pragma once
// A PCM format. Only the standard format exists here: 32-bit float samples,
// one buffer per channel (deinterleaved), at any positive finite rate.

#include "AVAudioTypes.h"
#include "AudioHardware/CoreAudioTypes.h"

#include <memory>

class AVAudioFormat {
public:
    // Nothing (null) for a rate that is not positive and finite, for 0
    // channels, or for more than kMaximumChannelCount.
    static std::shared_ptr<AVAudioFormat> standardFormatWithSampleRate(double sampleRate, AVAudioChannelCount channels);

    static constexpr AVAudioChannelCount kMaximumChannelCount = 64;

    double sampleRate() const { return description_.mSampleRate; }
    AVAudioChannelCount channelCount() const { return description_.mChannelsPerFrame; }
    bool isStandard() const { return true; }
    bool isInterleaved() const { return false; }
    const AudioStreamBasicDescription& streamDescription() const { return description_; }

    // Same rate and channel count (every format here is standard).
    friend bool operator==(const AVAudioFormat& a, const AVAudioFormat& b)
    {
        return a.sampleRate() == b.sampleRate() && a.channelCount() == b.channelCount();
    }

private:
    explicit AVAudioFormat(const AudioStreamBasicDescription& description) : description_(description) {}
    AudioStreamBasicDescription description_;
};
