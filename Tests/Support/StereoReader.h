#pragma once
// Reads frames out of a ring buffer into two deinterleaved channels, the way
// the engine's source nodes do.

#include "Support/BufferLists.h"
#include "VLMAudioRingBuffer.h"

#include <vector>

struct StereoFrames {
    std::vector<float> left, right;
};

inline StereoFrames readStereo(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames)
{
    StereoFrames out{std::vector<float>(frames, -9.0f), std::vector<float>(frames, -9.0f)};
    const BufferList list({audioBuffer(out.left, 1), audioBuffer(out.right, 1)});
    VLMAudioRingBufferRead(ringBuffer, list.get(), frames);
    return out;
}

class RingBufferHolder {
public:
    explicit RingBufferHolder(std::uint32_t capacity = 65536) : ringBuffer_(VLMAudioRingBufferCreate(capacity)) {}
    ~RingBufferHolder() { VLMAudioRingBufferDestroy(ringBuffer_); }
    RingBufferHolder(const RingBufferHolder&) = delete;
    RingBufferHolder& operator=(const RingBufferHolder&) = delete;
    VLMAudioRingBuffer* get() const { return ringBuffer_; }

private:
    VLMAudioRingBuffer* ringBuffer_;
};
