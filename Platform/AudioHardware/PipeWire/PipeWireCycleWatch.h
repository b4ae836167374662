#pragma once
// Notices when the program's node delivers nothing while it should. A client
// linked to its inputs that stops (a microphone stream frozen, a hung server)
// holds up the whole driver group, so the node, and everything it plays,
// simply stops being called; links made meanwhile never finish. Nothing
// fails and nothing is told. A timer on the thread loop compares the node's
// cycle count, counted only while the links from it are set up, with the
// wall clock. A server that hangs before any link stands gives no cycles to
// miss, so while the program routes the timer also asks the server for a
// round trip now and then: one left unanswered for as long as a stall takes
// is a stall too. A paused session manager or a graph that plays nothing
// still answers. Call everything with the thread loop's lock held.

#include "AudioHardware/CoreAudioTypes.h"

#include <pipewire/core.h>
#include <pipewire/loop.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace pipewire {

class CycleWatch {
public:
    struct Look {
        bool routing = false;       // playing, linked or not
        bool shouldRun = false;     // playing, and linked
        std::uint64_t cycles = 0;   // the node's cycle count
        bool unfinished = false;    // a link from it not set up yet
        double cycleSeconds = 0.0;  // one quantum, 0 while unknown
    };

    // `look` is asked at every tick; `changed` is told each new state.
    CycleWatch(pw_core* core, pw_loop* loop, std::function<Look()> look, std::function<void()> changed);
    ~CycleWatch();
    CycleWatch(const CycleWatch&) = delete;
    CycleWatch& operator=(const CycleWatch&) = delete;

    // kAudioHardwareIORunning, kAudioHardwareIOSilent or kAudioHardwareIOStalled.
    std::uint32_t state() const { return state_; }
    // A route started: it is given its own time to get cycles.
    void restart();
    // The server finished the round trip numbered `seq` (any round trip's).
    void answered(int seq);
    // While the node rests there is nothing to watch: the timer stops too,
    // so a resting program does not wake for it. Resumed, it starts afresh.
    void setResting(bool resting);

private:
    static void onTimer(void* data, std::uint64_t) noexcept;
    void tick();
    // Asks the server for a round trip while routing; true once one has gone
    // unanswered too long.
    bool serverHangs(bool routing, std::chrono::steady_clock::time_point now);
    void set(std::uint32_t state);

    pw_core* core_;
    pw_loop* loop_;
    spa_source* timer_ = nullptr;
    std::function<Look()> look_;
    std::function<void()> changed_;
    std::uint32_t state_ = kAudioHardwareIORunning;
    bool watching_ = false;
    std::uint64_t cycles_ = 0;
    std::chrono::steady_clock::time_point since_;
    bool asking_ = false;  // a round trip is awaited
    int askedSeq_ = 0;
    std::chrono::steady_clock::time_point askedAt_, answeredAt_;
};

} // namespace pipewire
