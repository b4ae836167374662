#include "PipeWireCycleJudge.h"

#include <algorithm>
#include <utility>

namespace pipewire {

namespace {

using Seconds = std::chrono::duration<double>;

// Silent after a few missed cycles; stalled once it lasts longer than a
// quantum change or a busy moment of the server would. Both grow with very
// long cycles, which the graph may run.
constexpr Seconds kSilentAfter{0.3};
constexpr Seconds kStalledAfter{1.5};
constexpr double kSilentCycles = 3;
constexpr double kStalledCycles = 6;
// A server answers a round trip within milliseconds; one a second costs it
// next to nothing, and a hang is still seen within a stall's time plus one.
constexpr Seconds kAskEvery{1.0};

} // namespace

CycleJudge::Verdict CycleJudge::judge(const NodeLook& look, Clock::time_point now)
{
    const Clock::time_point previousLook = std::exchange(lastLook_, now);
    // Whole cycles through links that stand, since the last look that counted.
    const bool cycled = look.cycles != cycles_ && !look.unfinished;
    const bool cycling = watching_ && look.shouldRun && cycled;
    Verdict verdict;
    if (serverHangs(look, cycling, now, verdict)) {
        state_ = verdict.state = kAudioHardwareIOStalled;
        verdict.unanswered = true;
        return verdict;
    }
    if (!look.shouldRun || !watching_ || cycled) {
        // The newest cycle ran after the previous look: a time that says
        // otherwise (a driver counting on a clock of its own) must not make
        // silence or a stall come early.
        since_ = cycling && look.lastCycle != NodeLook::TimePoint{} ? std::clamp(look.lastCycle, previousLook, now)
                                                                     : now;
        watching_ = look.shouldRun;
        cycles_ = look.cycles;
        state_ = kAudioHardwareIORunning;
        verdict.state = state_;
        // Round trips want their answer checked in time. Cycles need no more
        // than a calm look to show they still come, counted from the newest,
        // so the look that first misses them is never later than that.
        if (look.routing && (!look.shouldRun || asking_ || verdict.ask))
            verdict.nextLook = kCloseLook;
        else if (cycling)
            verdict.nextLook = std::max<Clock::duration>(kCloseLook, since_ + kCalmLook - now);
        else
            verdict.nextLook = kCalmLook;
        return verdict;
    }
    const Seconds idle = now - since_;
    if (idle >= std::max(kStalledAfter, Seconds(kStalledCycles * look.cycleSeconds)))
        state_ = kAudioHardwareIOStalled;
    else if (idle >= std::max(kSilentAfter, Seconds(kSilentCycles * look.cycleSeconds)))
        state_ = kAudioHardwareIOSilent;
    verdict.state = state_;
    return verdict;
}

bool CycleJudge::serverHangs(const NodeLook& look, bool cycling, Clock::time_point now, Verdict& verdict)
{
    if (!look.routing || cycling) {
        // Nothing to ask while nothing is routed; cycles coming through the
        // links answer for the server. A late answer is ignored.
        asking_ = false;
        if (cycling)
            answeredAt_ = now;
        return false;
    }
    if (asking_)
        return now - askedAt_ >= kStalledAfter;
    verdict.ask = now - answeredAt_ >= kAskEvery;
    return false;
}

void CycleJudge::asked(int seq, Clock::time_point now)
{
    asking_ = seq >= 0;
    askedSeq_ = seq;
    askedAt_ = now;
}

void CycleJudge::answered(int seq, Clock::time_point now)
{
    if (!asking_ || seq != askedSeq_)
        return;
    asking_ = false;
    answeredAt_ = now;
}

void CycleJudge::restart()
{
    watching_ = false;
    state_ = kAudioHardwareIORunning;
}

} // namespace pipewire
