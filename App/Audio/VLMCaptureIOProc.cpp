#include "VLMCaptureIOProc.h"

#include <algorithm>

namespace {

// Formed in 64 bits: a 32-bit channels × 4 can wrap to 0 for absurd channel counts.
std::uint32_t framesIn(const AudioBuffer& buffer)
{
    return std::uint32_t(buffer.mDataByteSize / (std::uint64_t(buffer.mNumberChannels) * sizeof(float)));
}

} // namespace

std::uint32_t VLMCaptureFrameCount(const AudioBufferList* inputData)
{
    if (!inputData || inputData->mNumberBuffers == 0)
        return 0;
    const AudioBuffer& first = inputData->mBuffers[0];
    if (first.mNumberChannels == 0)
        return 0;
    std::uint32_t frames = framesIn(first);
    // The ring buffer reads every buffer with data for the same frame count.
    for (std::uint32_t i = 1; i < inputData->mNumberBuffers; ++i) {
        const AudioBuffer& buffer = inputData->mBuffers[i];
        if (buffer.mData && buffer.mNumberChannels)
            frames = std::min(frames, framesIn(buffer));
    }
    return frames;
}

AudioDeviceIOBlock VLMMakeCaptureIOBlock(VLMAudioRingBuffer* ringBuffer)
{
    return [ringBuffer](const AudioTimeStamp*, const AudioBufferList* inputData, const AudioTimeStamp*,
                        AudioBufferList*, const AudioTimeStamp*) {
        const std::uint32_t frames = VLMCaptureFrameCount(inputData);
        if (frames)
            VLMAudioRingBufferWrite(ringBuffer, inputData, frames);
    };
}
