#pragma once
// The graph's clock as the driver that runs the program's node tells it in
// each cycle: its rate and its cycle length. A forced rate or quantum, the
// rate of a driver that runs at its own, and a quantum the graph picked
// between its limits are all seen here, where the "settings" metadata names
// only the defaults. Written by the data thread (two relaxed stores, nothing
// else), read by any thread.

#include <spa/node/io.h>

#include <atomic>
#include <cstdint>
#include <optional>

namespace pipewire {

class GraphClock {
public:
    void observe(const spa_io_position& position) noexcept
    {
        if (position.clock.rate.denom > 0 && position.clock.rate.num == 1)
            rate_.store(position.clock.rate.denom, std::memory_order_relaxed);
        if (position.clock.duration > 0 && position.clock.duration <= UINT32_MAX)
            quantum_.store(std::uint32_t(position.clock.duration), std::memory_order_relaxed);
    }

    // Forgets what was seen: the node runs nothing for now.
    void reset() noexcept
    {
        rate_.store(0, std::memory_order_relaxed);
        quantum_.store(0, std::memory_order_relaxed);
    }

    // Nothing until the node has run a cycle since the last reset.
    std::optional<double> rate() const
    {
        const std::uint32_t r = rate_.load(std::memory_order_relaxed);
        return r ? std::optional<double>(r) : std::nullopt;
    }
    std::optional<std::uint32_t> quantum() const
    {
        const std::uint32_t q = quantum_.load(std::memory_order_relaxed);
        return q ? std::optional<std::uint32_t>(q) : std::nullopt;
    }

private:
    std::atomic<std::uint32_t> rate_{0};
    std::atomic<std::uint32_t> quantum_{0};
};

} // namespace pipewire
