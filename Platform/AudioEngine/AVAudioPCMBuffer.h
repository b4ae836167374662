#pragma once
// A buffer of PCM frames in a standard (deinterleaved float) format.

#include "AVAudioFormat.h"

#include <memory>
#include <vector>

class AVAudioPCMBuffer {
public:
    // Throws std::invalid_argument for a null format.
    AVAudioPCMBuffer(std::shared_ptr<AVAudioFormat> format, AVAudioFrameCount frameCapacity);
    AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
    AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;

    const std::shared_ptr<AVAudioFormat>& format() const { return format_; }
    AVAudioFrameCount frameCapacity() const { return frameCapacity_; }
    AVAudioFrameCount frameLength() const { return frameLength_; }
    // Clamped to the capacity. Also sets the byte sizes of the buffer list.
    void setFrameLength(AVAudioFrameCount frameLength);

    // One pointer per channel, each to frameCapacity samples.
    float* const* floatChannelData() const { return channelPointers_.data(); }
    std::size_t stride() const { return 1; }

    const AudioBufferList* audioBufferList() const;
    AudioBufferList* mutableAudioBufferList();

private:
    std::shared_ptr<AVAudioFormat> format_;
    AVAudioFrameCount frameCapacity_;
    AVAudioFrameCount frameLength_ = 0;
    std::vector<float> samples_;
    std::vector<float*> channelPointers_;
    std::vector<std::byte> bufferList_;
};
