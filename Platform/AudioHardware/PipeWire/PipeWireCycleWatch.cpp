#include "PipeWireCycleWatch.h"
#include "PipeWireLog.h"

namespace pipewire {

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
    judge_.restart();
    if (!resting_)
        arm(CycleJudge::kCloseLook);  // a stall of the new route is seen as soon as any
    set(kAudioHardwareIORunning);
}

void CycleWatch::answered(int seq) { judge_.answered(seq, CycleJudge::Clock::now()); }

void CycleWatch::setResting(bool resting)
{
    resting_ = resting;
    judge_ = CycleJudge{};  // an answer that comes meanwhile is ignored
    arm(resting ? CycleJudge::Clock::duration::zero() : CycleJudge::kCloseLook);
    set(kAudioHardwareIORunning);
}

void CycleWatch::arm(CycleJudge::Clock::duration after)
{
    if (!timer_)
        return;
    // Once, after `after`; zero disarms the timer.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(after).count();
    timespec value{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
    pw_loop_update_timer(loop_, timer_, &value, nullptr, false);
}

void CycleWatch::onTimer(void* data, std::uint64_t) noexcept { static_cast<CycleWatch*>(data)->tick(); }

void CycleWatch::tick()
{
    const auto now = CycleJudge::Clock::now();
    const CycleJudge::Verdict verdict = judge_.judge(look_(), now);
    if (verdict.ask)
        judge_.asked(pw_core_sync(core_, PW_ID_CORE, 0), now);
    arm(verdict.nextLook);
    if (verdict.unanswered && state_ != kAudioHardwareIOStalled)
        qCWarning(lcPipeWire) << "the PipeWire server has not answered a round trip in time";
    set(verdict.state);
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
