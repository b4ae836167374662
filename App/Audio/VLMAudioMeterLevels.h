#pragma once
// The newest level of each source, handed from the engine's tap thread to the
// main thread through one atomic word per source. The tap thread overwrites
// it; the main thread takes what is there when the meters are drawn. Neither
// side allocates, locks or waits, and levels that no frame would show are
// simply replaced. A level that would change what the meters show also makes
// a descriptor readable (an eventfd), so the main thread sleeps while what
// they show stays the same.

#include "VLMAudioRouterStatus.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <optional>

class VLMAudioMeterLevels {
public:
    VLMAudioMeterLevels();
    ~VLMAudioMeterLevels();
    VLMAudioMeterLevels(const VLMAudioMeterLevels&) = delete;
    VLMAudioMeterLevels& operator=(const VLMAudioMeterLevels&) = delete;

    // Tap thread. `generation` is the router's meter generation when the tap
    // was installed; `shownDifferently`: the meters would show this level
    // otherwise than the one stored before it.
    void store(VLMAudioSource source, std::int64_t generation, float level, bool shownDifferently) noexcept
    {
        // Stored first: a main thread woken by the descriptor finds it.
        slot(source).store(pack(generation, level), std::memory_order_release);
        if (shownDifferently || news_[index(source)].exchange(false, std::memory_order_relaxed))
            signalReady();
    }

    // Main thread: the next level of each source wakes it whatever it shows
    // (the meters may show an older level than the taps stored last).
    void expectNews() noexcept
    {
        for (auto& news : news_)
            news.store(true, std::memory_order_relaxed);
    }

    // Readable while a level that changes what the meters show waits; -1
    // when no descriptor could be made (then nobody is told).
    int readyDescriptor() const { return ready_; }
    // Main thread, before taking: the descriptor is no longer readable until
    // the next such level.
    void clearReady() noexcept;

    // Main thread: the level stored since the last take, if any, when it was
    // stored under `generation`; a level of an older graph is dropped.
    std::optional<float> take(VLMAudioSource source, std::int64_t generation) noexcept
    {
        const std::uint64_t word = slot(source).exchange(empty, std::memory_order_acquire);
        if (word == empty || std::uint32_t(word >> 32) != std::uint32_t(generation))
            return std::nullopt;
        return std::bit_cast<float>(std::uint32_t(word));
    }

    // Whether a level waits to be taken (for tests that must know one arrived without taking it).
    bool holdsLevel(VLMAudioSource source) const noexcept
    {
        return slots_[index(source)].load(std::memory_order_acquire) != empty;
    }

private:
    void signalReady() noexcept;

    // A not-a-number pattern no level has (levels are 0...1).
    static constexpr std::uint64_t empty = ~std::uint64_t(0);

    static std::uint64_t pack(std::int64_t generation, float level) noexcept
    {
        return std::uint64_t(std::uint32_t(generation)) << 32 | std::bit_cast<std::uint32_t>(level);
    }
    static std::size_t index(VLMAudioSource source) { return source == VLMAudioSource::velmora ? 0 : 1; }
    std::atomic<std::uint64_t>& slot(VLMAudioSource source) { return slots_[index(source)]; }

    std::array<std::atomic<std::uint64_t>, 2> slots_{empty, empty};
    std::array<std::atomic<bool>, 2> news_{false, false};
    const int ready_;
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
