#pragma once
// Notices when the program's node delivers nothing while it should. A client
// linked to its inputs that stops (a microphone stream frozen, a hung server)
// holds up the whole driver group, so the node, and everything it plays,
// simply stops being called; links made meanwhile never finish. Nothing
// fails and nothing is told. A timer on the thread loop looks at the node's
// cycle count, counted only while the links from it are set up, and the time
// of its newest cycle. A server that hangs before any link stands gives no
// cycles to miss, so while the program routes without cycles the timer also
// asks the server for a round trip now and then: one left unanswered for as
// long as a stall takes is a stall too. A paused session manager or a graph
// that plays nothing still answers. CycleJudge holds the rules; this class
// gives them a timer and the server. Call everything with the thread loop's
// lock held.

#include "PipeWireCycleJudge.h"

#include <pipewire/core.h>
#include <pipewire/loop.h>

#include <functional>

namespace pipewire {

class CycleWatch {
public:
    using Look = NodeLook;

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
    void arm(CycleJudge::Clock::duration after);
    void set(std::uint32_t state);

    pw_core* core_;
    pw_loop* loop_;
    spa_source* timer_ = nullptr;
    std::function<Look()> look_;
    std::function<void()> changed_;
    CycleJudge judge_;
    bool resting_ = false;
    std::uint32_t state_ = kAudioHardwareIORunning;
};

} // namespace pipewire
