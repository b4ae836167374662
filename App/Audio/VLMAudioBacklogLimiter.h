#pragma once
// Keeps the frames waiting in a ring buffer from adding delay. A ring only
// drops frames when it overflows, so whatever piles up before its consumer's
// first read (captures start before the engine renders), and whatever a
// producer whose clock runs fast adds over time, would otherwise stay as
// delay for the whole session.
//
// The consumer holds one per ring and calls willRead() right before each
// VLMAudioRingBufferRead, on its own thread. A new limiter belongs to a new
// graph: on its first read it drops everything but the newest frames that
// read takes. After that it watches, over a window of reads, how many frames
// each read leaves behind and how many arrive between reads, and at the
// window's end skips the part of the backlog that no read needed (see
// skippable()). Real-time safe: no allocation, no lock, no system call.

#include "VLMAudioRingBuffer.h"

#include <cstdint>

class VLMAudioBacklogLimiter {
public:
    // Frames read per observation window: a few device buffers, so that a
    // fast clock adds only a few frames before they go.
    static constexpr std::uint32_t windowFrames = 16384;
    // Below this spread of what reads leave behind, the producer and the
    // consumer run in step (any spread is a resampler's uneven pulls).
    static constexpr std::uint32_t inStepSpread = 8;

    // Before each read of `frames` frames from `ringBuffer`.
    void willRead(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept;

    // Frames skipped so far.
    std::uint64_t skippedFrames() const { return skipped_; }

    // What a window's observations allow to skip: `least` and `most` frames
    // left behind by its reads, `delivery` the fewest frames seen arriving
    // between two reads (0: none arrived).
    static std::uint32_t skippable(std::uint32_t least, std::uint32_t most, std::uint32_t delivery) noexcept;

private:
    void skip(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept;
    void startWindow() noexcept;

    bool started_ = false;
    std::uint32_t leftBehind_ = 0;  // by the previous read
    std::uint64_t windowRead_ = 0;
    std::uint32_t least_ = 0, most_ = 0, delivery_ = 0;
    std::uint64_t skipped_ = 0;
};
