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
// Ports come in stereo groups (FL, FR) and are reused: PipeWire's filter
// cannot remove a port safely while it processes. Call everything except
// the process callback with the thread loop's lock held.

#include "AudioHardware/AudioHardware.h"
#include "PipeWireHandles.h"

#include <pipewire/filter.h>

#include <array>
#include <atomic>
#include <cstdint>
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
    // The largest cycle PipeWire runs (its hard limit on the quantum).
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

    // Data thread only.
    void capture(std::uint32_t frames, std::uint64_t hostTime) noexcept;
    void play(std::uint32_t frames, std::uint64_t hostTime) noexcept;

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
    explicit ProgramNode(pw_core* core);
    ~ProgramNode();
    ProgramNode(const ProgramNode&) = delete;
    ProgramNode& operator=(const ProgramNode&) = delete;

    // The node's global id; SPA_ID_INVALID until the server has it.
    std::uint32_t nodeID() const;
    bool failed() const { return !filter_; }

    // Starts a route on a free port group of its kind (made when none is
    // free). Null when the node cannot take one more.
    Route* attach(RouteKind kind, std::uint32_t target, std::vector<std::string> bundleIDs,
                  std::uint32_t deviceChannels, AudioDeviceIOBlock block);
    // Stops it: once this returns, the data thread no longer runs it.
    void detach(Route* route);
    const std::vector<std::unique_ptr<Route>>& routes() const { return routes_; }
    // A resting node no longer asks for cycles of its own (node.always-process,
    // which keeps cycles of silence coming while the program is wanted) and
    // is inactive, so PipeWire schedules it no more once its links are gone.
    void setResting(bool resting);

private:
    static constexpr std::size_t kMaxRoutes = 8;
    static void onProcess(void* data, spa_io_position* position) noexcept;
    PortGroup* freeGroup(RouteKind kind);
    void waitForCycleEnd() const;

    pw_filter* filter_ = nullptr;
    Hook hook_;
    std::vector<std::unique_ptr<PortGroup>> groups_;
    std::vector<std::unique_ptr<Route>> routes_;
    // What the data thread runs; an entry is cleared before its route goes.
    std::array<std::atomic<Route*>, kMaxRoutes> running_{};
    // Odd while the data thread is in a cycle.
    std::atomic<std::uint64_t> cycle_{0};
};

} // namespace pipewire
