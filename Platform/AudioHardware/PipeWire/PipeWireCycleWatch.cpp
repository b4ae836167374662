#include "PipeWireCycleWatch.h"
#include "PipeWireLog.h"

#include <algorithm>

namespace pipewire {

namespace {

using Seconds = std::chrono::duration<double>;

constexpr auto kTick = std::chrono::milliseconds(100);
// Silent after a few missed cycles; stalled once it lasts longer than a
// quantum change or a busy moment of the server would. Both grow with very
// long cycles, which the graph may run.
constexpr Seconds kSilentAfter{0.3};
constexpr Seconds kStalledAfter{1.5};
constexpr double kSilentCycles = 3;
constexpr double kStalledCycles = 6;

} // namespace

CycleWatch::CycleWatch(pw_loop* loop, std::function<Look()> look, std::function<void()> changed)
    : loop_(loop), look_(std::move(look)), changed_(std::move(changed))
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

void CycleWatch::setResting(bool resting)
{
    if (!timer_)
        return;
    // A zero interval disarms the timer.
    timespec interval{0, resting ? 0 : std::chrono::nanoseconds(kTick).count()};
    pw_loop_update_timer(loop_, timer_, &interval, &interval, false);
    restart();
}

void CycleWatch::onTimer(void* data, std::uint64_t) noexcept { static_cast<CycleWatch*>(data)->tick(); }

void CycleWatch::tick()
{
    const Look look = look_();
    const auto now = std::chrono::steady_clock::now();
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
