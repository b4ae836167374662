#include "Clicks.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

// A click: two impulses, the second (code + 1) * kCodeStep frames after the
// first, one click every kClickInterval frames, codes counting 0..kCodes-1.
// A click is recognised up to kCodes * kClickInterval frames (4 s) late.
constexpr std::uint32_t kClickInterval = kRate / 4;
constexpr std::uint32_t kCodes = 16;
constexpr std::uint32_t kCodeStep = 48;
constexpr float kImpulse = 0.5f;
// At the recorder an impulse starts where the signal passes kOnset after at
// least kQuietFrames frames below kQuiet.
constexpr float kOnset = 0.15f;
constexpr float kQuiet = 0.05f;
constexpr std::uint32_t kQuietFrames = 24;
// The sawtooth: kRampFloor + kRampSpan * (frame % kRampPeriod) / kRampPeriod,
// never near 0 so that silence stands out; a step of 8e-5 is far above the
// rounding of floats below 1. A break of up to half a period (50 ms) reads
// as what it is.
constexpr std::int32_t kRampPeriod = 4800;
constexpr float kRampFloor = 0.1f;
constexpr float kRampSpan = 0.4f;

void onClickerProcess(void* data)
{
    auto* c = static_cast<Clicker*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(c->stream);
    if (!b)
        return;
    // `now` is the cycle's clock.nsec; this buffer leaves in this cycle.
    pw_time time{};
    pw_stream_get_time_n(c->stream, &time, sizeof time);
    spa_data& d = b->buffer->datas[0];
    if (auto* out = static_cast<float*>(d.data)) {
        const std::uint32_t stride = 4 * c->channels;
        std::uint32_t frames = d.maxsize / stride;
        if (b->requested)
            frames = std::min<std::uint32_t>(frames, std::uint32_t(b->requested));
        c->quantum.store(frames, std::memory_order_relaxed);
        const bool clicking = c->clicking.load(std::memory_order_relaxed);
        const float hum = c->hum.load(std::memory_order_relaxed);
        const bool ramp = c->ramp.load(std::memory_order_relaxed);
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::uint64_t f = c->frame++;
            if (ramp) {
                const float value = kRampFloor + kRampSpan * float(f % kRampPeriod) / float(kRampPeriod);
                for (std::uint32_t ch = 0; ch < c->channels; ++ch)
                    out[i * c->channels + ch] = value;
                continue;
            }
            const auto code = std::uint32_t((f / kClickInterval) % kCodes);
            const auto phase = std::uint32_t(f % kClickInterval);
            const bool impulse = clicking && (phase == 0 || phase == (code + 1) * kCodeStep);
            if (clicking && phase == 0)
                c->emitted.push({time.now, i, code});
            const float between = (f / 24) % 2 ? hum : -hum;
            for (std::uint32_t ch = 0; ch < c->channels; ++ch)
                out[i * c->channels + ch] = impulse ? kImpulse : between;
        }
        d.chunk->offset = 0;
        d.chunk->stride = std::int32_t(stride);
        d.chunk->size = frames * stride;
    }
    pw_stream_queue_buffer(c->stream, b);
}

} // namespace

const pw_stream_events Clicker::events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.process = onClickerProcess;
    return e;
}();

double framesBetween(const Stamp& from, const Stamp& to)
{
    return double(to.nsec - from.nsec) * kRate / 1e9 + double(to.offset) - double(from.offset);
}

void RampWatch::listen(const float* in, std::uint32_t frames, std::int64_t cycleNsec)
{
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float level = in[2 * i];
        if (level < kRampFloor / 2) {
            if (last_ >= 0)
                breaks_.push({cycleNsec, i, 0, true});
            last_ = -1;
            continue;
        }
        const auto place = std::int32_t(std::lround((level - kRampFloor) / kRampSpan * float(kRampPeriod)));
        if (last_ >= 0) {
            std::int32_t skipped = ((place - last_ - 1) % kRampPeriod + kRampPeriod) % kRampPeriod;
            if (skipped > kRampPeriod / 2)
                skipped -= kRampPeriod;
            if (skipped != 0)
                breaks_.push({cycleNsec, i, skipped, false});
        }
        last_ = place;
    }
}

void ImpulseDetector::listen(const float* in, std::uint32_t frames, std::int64_t cycleNsec)
{
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float level = std::abs(in[2 * i]);
        if (level > kOnset && quietFrames_ >= kQuietFrames)
            heard_.push({cycleNsec, i, 0});
        quietFrames_ = level > kQuiet ? 0 : quietFrames_ + 1;
    }
}

std::vector<Stamp> clicksHeard(const std::vector<Stamp>& impulses, std::int64_t fromNsec, std::int64_t toNsec)
{
    constexpr double kTolerance = 3;
    std::vector<Stamp> clicks;
    for (std::size_t i = 0; i + 1 < impulses.size(); ++i) {
        const Stamp& first = impulses[i];
        if (first.nsecAt() < double(fromNsec) || first.nsecAt() >= double(toNsec))
            continue;
        const double gap = framesBetween(first, impulses[i + 1]);
        const double steps = std::round(gap / kCodeStep);
        if (steps < 1 || steps > kCodes || std::abs(gap - steps * kCodeStep) > kTolerance)
            continue;
        clicks.push_back({first.nsec, first.offset, std::uint32_t(steps) - 1});
        ++i;
    }
    return clicks;
}

std::vector<double> delaysInFrames(const std::vector<Stamp>& emitted, const std::vector<Stamp>& heard)
{
    std::vector<double> delays;
    for (const Stamp& click : heard) {
        for (auto e = emitted.rbegin(); e != emitted.rend(); ++e) {
            if (e->code != click.code)
                continue;
            const double delay = framesBetween(*e, click);
            if (delay > -0.5) {
                delays.push_back(std::round(delay));
                break;
            }
        }
    }
    return delays;
}

} // namespace bench
