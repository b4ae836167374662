#include "PipeWireCycleWatch.h"
#include "PipeWireLog.h"

#include <algorithm>

namespace pipewire {

namespace {

using Seconds = std::chrono::duration<double>;

// Coarse: the router acts on a stall only, which takes well over a second;
// every tick wakes the loop thread while the program routes.
constexpr auto kTick = std::chrono::milliseconds(250);
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

CycleWatch::CycleWatch(pw_core* core, pw_loop* loop, std::function<Look()> look, std::function<void()> changed)
    : core_(core), loop_(loop), look_(std::move(look)), changed_(std::move(changed))
{
    timer_ = pw_loop_add_timer(loop_, onTimer, this);
    if (!timer_) {
        qCWarning(lcPipeWire) << "no timer to watch the program's node";
        return;
    }
    setResting(false);
}

CycleWatch::~CycleWatch()
{
    if (timer_)
        pw_loop_destroy_source(loop_, timer_);
}

void CycleWatch::restart()
{
    watching_ = false;
    set(kAudioHardwareIORunning);
}

void CycleWatch::answered(int seq)
{
    if (!asking_ || seq != askedSeq_)
        return;
    asking_ = false;
    answeredAt_ = std::chrono::steady_clock::now();
}

bool CycleWatch::serverHangs(bool routing, std::chrono::steady_clock::time_point now)
{
    if (!routing) {
        asking_ = false;  // a late answer is ignored
        return false;
    }
    if (asking_)
        return now - askedAt_ >= kStalledAfter;
    if (now - answeredAt_ >= kAskEvery) {
        askedSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
        asking_ = askedSeq_ >= 0;
        askedAt_ = now;
    }
    return false;
}

void CycleWatch::setResting(bool resting)
{
    if (!timer_)
        return;
    // A zero interval disarms the timer.
    timespec interval{0, resting ? 0 : std::chrono::nanoseconds(kTick).count()};
    pw_loop_update_timer(loop_, timer_, &interval, &interval, false);
    asking_ = false;  // an answer that comes meanwhile is ignored
    restart();
}

void CycleWatch::onTimer(void* data, std::uint64_t) noexcept { static_cast<CycleWatch*>(data)->tick(); }

void CycleWatch::tick()
{
    const Look look = look_();
    const auto now = std::chrono::steady_clock::now();
    if (serverHangs(look.routing, now)) {
        if (state_ != kAudioHardwareIOStalled)
            qCWarning(lcPipeWire) << "the PipeWire server has not answered a round trip for" << kStalledAfter.count()
                                  << "s";
        set(kAudioHardwareIOStalled);
        return;
    }
    if (!look.shouldRun || !watching_ || (look.cycles != cycles_ && !look.unfinished)) {
        watching_ = look.shouldRun;
        cycles_ = look.cycles;
        since_ = now;
        set(kAudioHardwareIORunning);
        return;
    }
    const Seconds idle = now - since_;
    if (idle >= std::max(kStalledAfter, Seconds(kStalledCycles * look.cycleSeconds)))
        set(kAudioHardwareIOStalled);
    else if (idle >= std::max(kSilentAfter, Seconds(kSilentCycles * look.cycleSeconds)))
        set(kAudioHardwareIOSilent);
}

void CycleWatch::set(std::uint32_t state)
{
    if (state == state_)
        return;
    if (state == kAudioHardwareIOStalled)
        qCWarning(lcPipeWire) << "the program's node delivers nothing: an input or the server is stuck";
    else if (state_ != kAudioHardwareIORunning && state == kAudioHardwareIORunning)
        qCInfo(lcPipeWire) << "the program's node runs again";
    state_ = state;
    changed_();
}

} // namespace pipewire
