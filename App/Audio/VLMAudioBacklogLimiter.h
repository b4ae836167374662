#pragma once
// Keeps the frames waiting in a ring buffer from adding delay. A ring only
// drops frames when it overflows, so whatever piles up before its consumer's
// first read (captures start before the engine renders), and whatever a
// producer whose clock runs fast adds over time, would otherwise stay as
// delay for the whole session.
//
// The consumer holds one per ring and calls willRead() right before each
// VLMAudioRingBufferRead, on its own thread, and reads what it answers. A new limiter belongs to a new
// graph: on its first read it drops everything but the newest frames that
// read takes. After that it watches, over a window of reads, how many frames
// each read leaves behind and how many arrive between reads, and at the
// window's end skips the part of the backlog that no read needed (see
// skippable()). A producer whose deliveries come early or late (uneven) needs
// a reserve of one delivery, which only a short read can build: a read that
// runs dry on such a producer leaves one delivery in the ring, so that later,
// later deliveries find it there.
// Real-time safe: no allocation, no lock, no system call.

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
    // Windows a producer seen uneven is still treated as uneven: a late
    // delivery may come seconds after the previous one.
    static constexpr std::uint32_t unevenWindows = 64;

    // Before each read of `frames` frames from `ringBuffer`: how many of them
    // the read takes from the ring (`frames` unless a reserve is being kept);
    // the rest of the read is silence.
    std::uint32_t willRead(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept;

    // Frames skipped so far.
    std::uint64_t skippedFrames() const { return skipped_; }

    // What a window's observations allow to skip: `least` and `most` frames
    // left behind by its reads, `uneven` whether deliveries came early or late
    // lately, and `delivery` the fewest frames seen arriving between two reads
    // or, when uneven, the size of one delivery (0: none arrived).
    static std::uint32_t skippable(std::uint32_t least, std::uint32_t most, std::uint32_t delivery,
                                   bool uneven) noexcept;

private:
    bool seenUneven() const noexcept;
    void skip(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept;
    void startWindow() noexcept;
    void forgetWhereDeliveriesStand() noexcept;

    bool started_ = false;
    std::uint32_t leftBehind_ = 0;  // by the previous read
    std::uint64_t windowRead_ = 0;
    std::uint32_t least_ = 0, most_ = 0, delivery_ = 0;
    std::uint32_t arrived_ = 0;  // between the two previous reads
    std::uint32_t leastArrived_ = 0, mostArrived_ = 0;
    // Extremes of what the read before left behind, for the fewest and most arrived.
    std::uint32_t leastLeftBeforeLeast_ = 0, mostLeftBeforeMost_ = 0;
    std::uint32_t step_ = 0;      // the size of one delivery, as far as seen
    std::uint32_t lastStep_ = 0;  // of the previous window that saw one
    std::uint32_t unevenWindowsLeft_ = 0;  // counts down from unevenWindows
    std::uint64_t skipped_ = 0;
};
