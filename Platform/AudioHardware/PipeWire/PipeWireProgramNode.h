#pragma once
// The program's one node in the PipeWire graph: a filter whose input ports
// receive the tapped applications and the microphone and whose output ports
// play into the virtual device. Every IOProc of the process runs as a route
// through it, all in the node's one process callback on PipeWire's data
// thread: first the routes that capture, then those that play. PipeWire
// schedules a node after the nodes linked to its inputs and before those
// linked to its outputs, so what is captured in a cycle is played in that
// same cycle, with one wake-up of the data thread per cycle, and every node
// linked to it runs on one driver's clock.
//
// Ports come in stereo groups (FL, FR), all made before the filter connects
// (its data thread walks the port list without a lock, so no port is added
// or removed while it may run), and reused by the routes. Call everything
// except the process callback with the thread loop's lock held.

#include "AudioHardware/AudioHardware.h"
#include "PipeWireClock.h"
#include "PipeWireHandles.h"

#include <pipewire/filter.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pipewire {

enum class RouteKind { tap, capture, playback };

struct PortGroup {
    RouteKind kind;
    std::string name;  // the ports are "<name>_FL" and "<name>_FR"
    std::array<void*, 2> ports{};
    bool inUse = false;
};

// One IOProc running through the program's node.
class Route {
public:
    // The most frames handed to the IOProc at once: a longer cycle (the
    // graph's quantum limit can be raised) is handed over in parts.
    static constexpr std::uint32_t kMaxCycleFrames = 8192;

    Route(RouteKind kind, PortGroup& group, std::uint32_t target, std::vector<std::string> bundleIDs,
          std::uint32_t deviceChannels, AudioDeviceIOBlock block);

    RouteKind kind() const { return kind_; }
    const PortGroup& group() const { return group_; }
    // The device node it captures or plays (capture, playback).
    std::uint32_t target() const { return target_; }
    // The applications it follows (tap).
    const std::vector<std::string>& bundleIDs() const { return bundleIDs_; }
    // How many device channels the links fold into each side: a capture
    // averages them, as the device's own layout folds to stereo.
    void setFoldedChannels(std::uint32_t left, std::uint32_t right);

    // Data thread only: one cycle of `frames`, of any length, starting at
    // `hostTime` (ns), `nsecPerFrame` apart.
    void capture(std::uint32_t frames, std::uint64_t hostTime, double nsecPerFrame) noexcept;
    void play(std::uint32_t frames, std::uint64_t hostTime, double nsecPerFrame) noexcept;

private:
    struct StereoBufferList {
        std::uint32_t mNumberBuffers;
        AudioBuffer mBuffers[2];
    };
    AudioBufferList* list(StereoBufferList& l) noexcept { return reinterpret_cast<AudioBufferList*>(&l); }
    AudioTimeStamp timeStamp(std::uint64_t hostTime) const noexcept;

    const RouteKind kind_;
    PortGroup& group_;
    const std::uint32_t target_;
    const std::vector<std::string> bundleIDs_;
    const std::uint32_t deviceChannels_;
    const AudioDeviceIOBlock block_;
    std::array<std::atomic<float>, 2> gains_{1.0f, 1.0f};
    std::vector<float> scratch_;
    StereoBufferList input_{};
    StereoBufferList output_{};
    double sampleTime_ = 0;
};

class ProgramNode {
public:
    // `lost` runs on the thread loop, outside the event that told it, when
    // the node stops for a reason of its own (another client destroyed it,
    // an error): the node is of no more use then.
    ProgramNode(pw_core* core, std::function<void()> lost);
    ~ProgramNode();
    ProgramNode(const ProgramNode&) = delete;
    ProgramNode& operator=(const ProgramNode&) = delete;

    // The node's global id; SPA_ID_INVALID until the server has it.
    std::uint32_t nodeID() const;
    bool failed() const { return !filter_ || gone_; }

    // Starts a route on a free port group of its kind. Null when the node
    // cannot take one more.
    Route* attach(RouteKind kind, std::uint32_t target, std::vector<std::string> bundleIDs,
                  std::uint32_t deviceChannels, AudioDeviceIOBlock block);
    // Stops it: once this returns, the data thread no longer runs it.
    void detach(Route* route);
    const std::vector<std::unique_ptr<Route>>& routes() const { return routes_; }
    // The graph's rate and quantum as the node last ran them.
    const GraphClock& clock() const { return clock_; }
    // A resting node no longer asks for cycles of its own (node.always-process,
    // which keeps cycles of silence coming while the program is wanted), and
    // the server takes it off its driver at once, linked or not; its links
    // are the caller's to take away. Running again, it gets a driver at once.
    void setResting(bool resting);
    // How many cycles have begun or ended: unchanged while no cycle comes.
    std::uint64_t cycles() const { return cycle_.load(std::memory_order_relaxed); }
    // When its newest cycle ran, on the monotonic clock as the driver tells
    // it; the epoch before the first.
    std::chrono::steady_clock::time_point lastCycle() const
    {
        return std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(lastCycleNsec_.load(std::memory_order_relaxed)));
    }

private:
    // The router needs one route of each kind; a second lets a route be
    // replaced while the old one still runs.
    static constexpr std::size_t kGroupsPerKind = 2;
    static constexpr std::size_t kMaxRoutes = 3 * kGroupsPerKind;
    static void onProcess(void* data, spa_io_position* position) noexcept;
    static void onStateChanged(void* data, pw_filter_state, pw_filter_state state, const char* error) noexcept;
    static void onLost(void* data, std::uint64_t) noexcept;
    bool addGroup(RouteKind kind);
    PortGroup* freeGroup(RouteKind kind);
    void waitForCycleEnd() const;

    pw_filter* filter_ = nullptr;
    Hook hook_;
    pw_loop* loop_ = nullptr;
    spa_source* lostEvent_ = nullptr;
    std::function<void()> lost_;
    bool closing_ = false;
    bool gone_ = false;
    std::vector<std::unique_ptr<PortGroup>> groups_;
    std::vector<std::unique_ptr<Route>> routes_;
    // What the data thread runs; an entry is cleared before its route goes.
    std::array<std::atomic<Route*>, kMaxRoutes> running_{};
    GraphClock clock_;
    // Odd while the data thread is in a cycle.
    std::atomic<std::uint64_t> cycle_{0};
    std::atomic<std::int64_t> lastCycleNsec_{0};
};

} // namespace pipewire
