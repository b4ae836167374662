#include "VLMAudioBacklogLimiter.h"

#include <algorithm>
#include <limits>

void VLMAudioBacklogLimiter::willRead(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept
{
    if (!ringBuffer || frames == 0)
        return;
    std::uint32_t available = VLMAudioRingBufferAvailableFrames(ringBuffer);
    if (!started_) {
        // However long the captures ran before this first read, only the
        // newest frames it takes are worth hearing.
        started_ = true;
        if (available > frames)
            skip(ringBuffer, available - frames);
        leftBehind_ = 0;
        startWindow();
        return;
    }

    // Counted before the read: a write landing meanwhile only makes what this
    // read leaves behind look smaller, and the next arrival larger.
    if (available > leftBehind_)
        delivery_ = std::min(delivery_, available - leftBehind_);
    std::uint32_t leftBehind = available > frames ? available - frames : 0;
    least_ = std::min(least_, leftBehind);
    most_ = std::max(most_, leftBehind);
    windowRead_ += frames;
    if (windowRead_ >= windowFrames) {
        const std::uint32_t delivery = delivery_ == std::numeric_limits<std::uint32_t>::max() ? 0 : delivery_;
        // Skipped before this read, which still finds every frame it needs.
        if (const std::uint32_t excess = skippable(least_, most_, delivery); excess > 0) {
            skip(ringBuffer, excess);
            leftBehind -= std::min(leftBehind, excess);
        }
        startWindow();
    }
    leftBehind_ = leftBehind;
}

std::uint32_t VLMAudioBacklogLimiter::skippable(std::uint32_t least, std::uint32_t most,
                                                std::uint32_t delivery) noexcept
{
    if (delivery == 0 || least == 0)
        return 0;
    const std::uint32_t spread = most - least;
    // In step, every read sees the same backlog: all of it can go, but for
    // the spread itself.
    if (spread <= inStepSpread)
        return least - spread;
    // Deliveries and reads of different sizes beat: what a read leaves behind
    // swings by up to one delivery, and the window may not have seen the
    // lowest swing yet. Keep what the unseen part of the swing could need,
    // so that the fullest moment holds one delivery at most.
    const std::uint32_t unseen = delivery > spread ? delivery - spread : 0;
    return least > unseen ? least - unseen : 0;
}

void VLMAudioBacklogLimiter::startWindow() noexcept
{
    windowRead_ = 0;
    least_ = std::numeric_limits<std::uint32_t>::max();
    most_ = 0;
    delivery_ = std::numeric_limits<std::uint32_t>::max();
}

void VLMAudioBacklogLimiter::skip(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept
{
    VLMAudioRingBufferSkip(ringBuffer, frames);
    skipped_ += frames;
}
