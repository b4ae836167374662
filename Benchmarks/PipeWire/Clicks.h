#pragma once
// Numbered clicks, stamped with the graph's cycle time at both ends.
//
// Every quarter of a second a clicking source plays a pair of impulses whose
// spacing encodes the click's number modulo 16 (48 to 768 frames apart). Both
// ends stamp an impulse with the cycle time of the graph that runs them
// (spa_io_position clock.nsec, read through pw_stream_get_time_n, plus the
// frame offset within the cycle), so a click is matched to its emission even
// when it arrives seconds late or in another driver group, and the delay is
// the difference in frames.

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace bench {

constexpr std::uint32_t kRate = 48000;

// An impulse at frame `offset` of the cycle that started at `nsec`. `code` is
// the click's number for an emitted click.
struct Stamp {
    std::int64_t nsec = 0;
    std::uint32_t offset = 0;
    std::uint32_t code = 0;

    double nsecAt() const { return double(nsec) + double(offset) * 1e9 / kRate; }
};

double framesBetween(const Stamp& from, const Stamp& to);

// Appended to by one real-time thread, read by the benchmark's thread.
template <typename Entry>
class RealTimeLog {
public:
    void push(const Entry& entry)
    {
        const std::size_t n = count_.load(std::memory_order_relaxed);
        entries_[n % kCapacity] = entry;
        count_.store(n + 1, std::memory_order_release);
    }
    // The entries kept, oldest first (the last kCapacity; hours of clicks).
    std::vector<Entry> snapshot() const
    {
        const std::size_t n = count_.load(std::memory_order_acquire);
        std::vector<Entry> copy;
        for (std::size_t i = n > kCapacity ? n - kCapacity : 0; i < n; ++i)
            copy.push_back(entries_[i % kCapacity]);
        return copy;
    }

private:
    static constexpr std::size_t kCapacity = std::size_t(1) << 16;
    std::vector<Entry> entries_ = std::vector<Entry>(kCapacity);
    std::atomic<std::size_t> count_{0};
};

using StampLog = RealTimeLog<Stamp>;

// A playback stream that plays silence or clicks and stamps each click.
struct Clicker {
    pw_stream* stream = nullptr;
    spa_hook hook{};
    std::uint32_t channels = 1;
    std::uint64_t frame = 0;
    std::atomic<bool> clicking{false};
    // Instead of silence between clicks: a square wave of this amplitude (0: none).
    std::atomic<float> hum{0.0f};
    // Instead of clicks and hum: a sawtooth whose every value names its frame
    // (RampWatch reads it back).
    std::atomic<bool> ramp{false};
    std::atomic<std::uint32_t> quantum{0};
    StampLog emitted;

    static const pw_stream_events events;
};

// The recorder's side: stamps every impulse onset in the left channel.
class ImpulseDetector {
public:
    void listen(const float* interleaved, std::uint32_t frames, std::int64_t cycleNsec);
    const StampLog& heard() const { return heard_; }

private:
    std::uint32_t quietFrames_ = 0;
    StampLog heard_;
};

// A break in the sawtooth heard at a recorder: `frames` skipped (negative:
// played again), or silence starting.
struct RampBreak {
    std::int64_t nsec = 0;  // the cycle it was heard in
    std::uint32_t offset = 0;
    std::int32_t frames = 0;
    bool silence = false;

    double nsecAt() const { return double(nsec) + double(offset) * 1e9 / kRate; }
};

// The recorder's side of the sawtooth: logs every frame that does not follow
// the one before it, from the left channel.
class RampWatch {
public:
    void listen(const float* interleaved, std::uint32_t frames, std::int64_t cycleNsec);
    const RealTimeLog<RampBreak>& breaks() const { return breaks_; }

private:
    std::int32_t last_ = -1;  // the last frame's place in the period; -1 after silence
    RealTimeLog<RampBreak> breaks_;
};

// The clicks heard in [fromNsec, toNsec), decoded from impulse pairs.
std::vector<Stamp> clicksHeard(const std::vector<Stamp>& impulses, std::int64_t fromNsec, std::int64_t toNsec);
// How late each click heard arrived: against the last click of the same code
// emitted no later than it was heard.
std::vector<double> delaysInFrames(const std::vector<Stamp>& emitted, const std::vector<Stamp>& heard);

} // namespace bench
