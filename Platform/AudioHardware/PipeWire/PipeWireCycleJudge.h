#pragma once
// What the cycle watch concludes from each look at the program's node: its
// state, whether to ask the server for a round trip, and when to look again.
// The times are given to it, so its rules hold without a server or a clock.
//
// Cycles that keep coming are proof enough that the server works: the node
// is then looked at once a second and the server is asked nothing, so a
// program that routes wakes its loop thread about once a second. A look that
// finds no new cycle watches closely (four looks a second) until cycles come
// back. Silence and a stall are counted from the newest cycle's own time, so
// the calm pace delays neither the stall nor the recovery; only silence may
// be noticed up to a calm look later than it begins.

#include "AudioHardware/CoreAudioTypes.h"

#include <chrono>
#include <cstdint>

namespace pipewire {

struct NodeLook {
    using TimePoint = std::chrono::steady_clock::time_point;
    bool routing = false;       // playing, linked or not
    bool shouldRun = false;     // playing, and linked
    std::uint64_t cycles = 0;   // the node's cycle count
    bool unfinished = false;    // a link from it not set up yet
    double cycleSeconds = 0.0;  // one quantum, 0 while unknown
    TimePoint lastCycle{};      // when its newest cycle ran; the epoch while unknown
};

class CycleJudge {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kCalmLook = std::chrono::seconds(1);
    static constexpr Clock::duration kCloseLook = std::chrono::milliseconds(250);

    struct Verdict {
        std::uint32_t state = kAudioHardwareIORunning;
        bool ask = false;         // ask for a round trip now, and say so with asked()
        bool unanswered = false;  // stalled: the server left a round trip unanswered
        Clock::duration nextLook = kCloseLook;
    };

    Verdict judge(const NodeLook& look, Clock::time_point now);
    void asked(int seq, Clock::time_point now);
    // The server finished the round trip numbered `seq` (any round trip's).
    void answered(int seq, Clock::time_point now);
    // A route started: it is given its own time to get cycles. A round trip
    // already asked is still awaited.
    void restart();

private:
    // True once a round trip has gone unanswered too long; `cycling`: new
    // cycles came through standing links since the last look.
    bool serverHangs(const NodeLook& look, bool cycling, Clock::time_point now, Verdict& verdict);

    std::uint32_t state_ = kAudioHardwareIORunning;
    bool watching_ = false;
    std::uint64_t cycles_ = 0;
    Clock::time_point since_;     // the newest cycle seen (or the start of watching)
    Clock::time_point lastLook_;
    bool asking_ = false;
    int askedSeq_ = 0;
    Clock::time_point askedAt_, answeredAt_;
};

} // namespace pipewire
