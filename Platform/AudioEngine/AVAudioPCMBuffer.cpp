#include "AVAudioPCMBuffer.h"

#include <algorithm>
#include <stdexcept>

AVAudioPCMBuffer::AVAudioPCMBuffer(std::shared_ptr<AVAudioFormat> format, AVAudioFrameCount frameCapacity)
    : format_(std::move(format)), frameCapacity_(frameCapacity)
{
    if (!format_)
        throw std::invalid_argument("AVAudioPCMBuffer needs a format");
    const AVAudioChannelCount channels = format_->channelCount();
    samples_.assign(std::size_t(channels) * frameCapacity, 0.0f);
    channelPointers_.resize(channels);
    for (AVAudioChannelCount c = 0; c < channels; ++c)
        channelPointers_[c] = samples_.data() + std::size_t(c) * frameCapacity;

    bufferList_.assign(AudioBufferListSize(channels), std::byte{0});
    auto* list = reinterpret_cast<AudioBufferList*>(bufferList_.data());
    list->mNumberBuffers = channels;
    for (AVAudioChannelCount c = 0; c < channels; ++c)
        list->mBuffers[c] = AudioBuffer{1, 0, channelPointers_[c]};
}

void AVAudioPCMBuffer::setFrameLength(AVAudioFrameCount frameLength)
{
    frameLength_ = std::min(frameLength, frameCapacity_);
    auto* list = reinterpret_cast<AudioBufferList*>(bufferList_.data());
    for (std::uint32_t c = 0; c < list->mNumberBuffers; ++c)
        list->mBuffers[c].mDataByteSize = frameLength_ * sizeof(float);
}

const AudioBufferList* AVAudioPCMBuffer::audioBufferList() const
{
    return reinterpret_cast<const AudioBufferList*>(bufferList_.data());
}

AudioBufferList* AVAudioPCMBuffer::mutableAudioBufferList()
{
    return reinterpret_cast<AudioBufferList*>(bufferList_.data());
}
