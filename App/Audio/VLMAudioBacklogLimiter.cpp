#include "VLMAudioBacklogLimiter.h"

#include <algorithm>
#include <limits>

namespace {
constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
}

std::uint32_t VLMAudioBacklogLimiter::willRead(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept
{
    if (!ringBuffer || frames == 0)
        return frames;
    const std::uint32_t available = VLMAudioRingBufferAvailableFrames(ringBuffer);
    if (!started_) {
        // However long the captures ran before this first read, only the
        // newest frames it takes are worth hearing.
        started_ = true;
        if (available > frames)
            skip(ringBuffer, available - frames);
        leftBehind_ = 0;
        startWindow();
        return frames;
    }

    // Counted before the read: a write landing meanwhile only makes what this
    // read leaves behind look smaller, and the next arrival larger. One
    // delivery (step_) is the fewest frames seen arriving, or the fewest by
    // which two arrivals differ (deliveries smaller than a read arrive in twos
    // and threes).
    const std::uint32_t arrived = available > leftBehind_ ? available - leftBehind_ : 0;
    if (arrived > 0) {
        delivery_ = std::min(delivery_, arrived);
        step_ = std::min(step_, arrived);
    }
    if (arrived != arrived_)
        step_ = std::min(step_, arrived > arrived_ ? arrived - arrived_ : arrived_ - arrived);
    arrived_ = arrived;
    if (arrived < leastArrived_) {
        leastArrived_ = arrived;
        leastLeftBeforeLeast_ = none;
    }
    if (arrived == leastArrived_)
        leastLeftBeforeLeast_ = std::min(leastLeftBeforeLeast_, leftBehind_);
    if (arrived > mostArrived_) {
        mostArrived_ = arrived;
        mostLeftBeforeMost_ = 0;
    }
    if (arrived == mostArrived_)
        mostLeftBeforeMost_ = std::max(mostLeftBeforeMost_, leftBehind_);

    std::uint32_t take = frames;
    if (available < frames && (unevenWindowsLeft_ > 0 || seenUneven())) {
        // This read is short anyway: one silence that keeps back a delivery
        // beats one at every late delivery to come.
        const std::uint32_t step = lastStep_ > 0 ? std::min(step_, lastStep_) : step_;
        take = available - std::min(available, step);
    }
    if (available < frames || take < frames)
        forgetWhereDeliveriesStand();
    std::uint32_t leftBehind = available > take ? available - take : 0;
    least_ = std::min(least_, leftBehind);
    most_ = std::max(most_, leftBehind);
    windowRead_ += frames;
    if (windowRead_ >= windowFrames) {
        if (step_ != none)
            lastStep_ = step_;
        if (seenUneven())
            unevenWindowsLeft_ = unevenWindows;
        else if (unevenWindowsLeft_ > 0)
            --unevenWindowsLeft_;
        const bool uneven = unevenWindowsLeft_ > 0;
        const std::uint32_t seen = uneven ? step_ : delivery_;
        const std::uint32_t delivery = seen == none ? 0 : seen;
        // Skipped before this read, which still finds every frame it takes.
        if (const std::uint32_t excess = skippable(least_, most_, delivery, uneven); excess > 0) {
            skip(ringBuffer, excess);
            leftBehind -= std::min(leftBehind, excess);
        }
        startWindow();
    }
    leftBehind_ = leftBehind;
    return take;
}

std::uint32_t VLMAudioBacklogLimiter::skippable(std::uint32_t least, std::uint32_t most, std::uint32_t delivery,
                                                bool uneven) noexcept
{
    if (delivery == 0 || least == 0)
        return 0;
    const std::uint32_t spread = most - least;
    // Deliveries early or late by up to a period swing what reads leave
    // behind by up to two deliveries, and a window sees only part of that.
    // A read running dry keeps one delivery back (willRead()), so the fullest
    // moment may hold three: only beyond that has the producer run ahead.
    if (uneven) {
        const std::uint32_t unseen = 3 * delivery > spread ? 3 * delivery - spread : 0;
        return least > unseen ? least - unseen : 0;
    }
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

bool VLMAudioBacklogLimiter::seenUneven() const noexcept
{
    // On time, deliveries of one size beat against reads of another: what
    // arrives between reads differs by one delivery at most, and so does what
    // reads leave behind (but for a resampler's uneven pulls).
    // On time, the less a read left behind, the more arrives before the
    // next: a larger arrival after a fuller ring means one came late.
    if (step_ == none || least_ > most_)
        return false;
    return mostArrived_ - leastArrived_ > step_ || most_ - least_ > step_ + inStepSpread ||
           (mostArrived_ > leastArrived_ && leastLeftBeforeLeast_ != none &&
            mostLeftBeforeMost_ > leastLeftBeforeLeast_ + inStepSpread);
}

void VLMAudioBacklogLimiter::startWindow() noexcept
{
    windowRead_ = 0;
    least_ = none;
    most_ = 0;
    delivery_ = none;
    step_ = none;
    leastArrived_ = none;
    mostArrived_ = 0;
    forgetWhereDeliveriesStand();
}

void VLMAudioBacklogLimiter::forgetWhereDeliveriesStand() noexcept
{
    // A read that runs dry, or a skip, moves every later read's backlog
    // against the deliveries: what reads left behind before it compares with
    // nothing after.
    leastLeftBeforeLeast_ = none;
    mostLeftBeforeMost_ = 0;
}

void VLMAudioBacklogLimiter::skip(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames) noexcept
{
    VLMAudioRingBufferSkip(ringBuffer, frames);
    skipped_ += frames;
}
