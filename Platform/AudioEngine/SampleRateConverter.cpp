#include "SampleRateConverter.h"

#include "RenderGraph.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace vlm::engine {

namespace {

// speexdsp wants the ratio as integers; hundredths of a hertz keep rates like
// 44,100.5 exact, and speexdsp reduces the fraction itself.
spx_uint32_t ratioTerm(double rate) { return spx_uint32_t(std::llround(rate * 100.0)); }
spx_uint32_t nominalRate(double rate) { return spx_uint32_t(std::max(1.0, std::round(rate))); }

} // namespace

SampleRateConverter::SampleRateConverter(std::uint32_t channels, double inputRate, double outputRate,
                                         std::uint32_t maximumOutputFrames, int quality)
    : channels_(channels), ratio_(inputRate / outputRate), maximumOutputFrames_(maximumOutputFrames)
{
    int error = RESAMPLER_ERR_SUCCESS;
    state_ = speex_resampler_init_frac(channels, ratioTerm(inputRate), ratioTerm(outputRate),
                                       nominalRate(inputRate), nominalRate(outputRate), quality, &error);
    if (!state_ || error != RESAMPLER_ERR_SUCCESS)
        throw std::bad_alloc();
    // Starts output at the first input frame instead of after half the filter.
    speex_resampler_skip_zeros(state_);

    // One pull asks for what its output needs, plus a frame for the rounding
    // of the filter's phase.
    maximumInputFrames_ = std::uint32_t(std::ceil(double(maximumOutputFrames) * ratio_)) + 2;
    capacity_ = maximumInputFrames_ * 2 + 16;
    queue_.assign(std::size_t(channels) * capacity_, 0.0f);
    queueTails_.resize(channels);
}

SampleRateConverter::~SampleRateConverter()
{
    if (state_)
        speex_resampler_destroy(state_);
}

std::uint32_t SampleRateConverter::latencyFrames() const
{
    return std::uint32_t(std::max(0, speex_resampler_get_output_latency(state_)));
}

void SampleRateConverter::pull(RenderStage& upstream, std::uint32_t frames, float* const* output) noexcept
{
    frames = std::min(frames, maximumOutputFrames_);
    std::uint32_t produced = 0;
    while (produced < frames) {
        const std::uint32_t wanted = frames - produced;
        // Enough input for the rest, as the ratio tells; the loop asks again in
        // the rare pass where the filter's phase needs one frame more.
        const auto needed = std::uint32_t(std::ceil(double(wanted) * ratio_)) + 1;
        if (queued_ < needed) {
            const std::uint32_t more =
                std::min({needed - queued_, capacity_ - queued_, maximumInputFrames_});
            if (more == 0)
                break;
            for (std::uint32_t c = 0; c < channels_; ++c)
                queueTails_[c] = queue_.data() + std::size_t(c) * capacity_ + queued_;
            upstream.render(more, queueTails_.data());
            queued_ += more;
        }

        spx_uint32_t consumed = 0;
        spx_uint32_t written = 0;
        for (std::uint32_t c = 0; c < channels_; ++c) {
            spx_uint32_t inLength = queued_;
            spx_uint32_t outLength = wanted;
            speex_resampler_process_float(state_, c, queue_.data() + std::size_t(c) * capacity_, &inLength,
                                          output[c] + produced, &outLength);
            consumed = inLength;  // the same for every channel: they share the ratio and history length
            written = outLength;
        }
        if (consumed > 0) {
            for (std::uint32_t c = 0; c < channels_; ++c) {
                float* channel = queue_.data() + std::size_t(c) * capacity_;
                std::memmove(channel, channel + consumed, (queued_ - consumed) * sizeof(float));
            }
            queued_ -= consumed;
        }
        produced += written;
        if (written == 0 && consumed == 0 && queued_ == capacity_)
            break;
    }
    // Only reachable if the filter stalls; silence is better than stale samples.
    for (std::uint32_t c = 0; c < channels_ && produced < frames; ++c)
        std::fill(output[c] + produced, output[c] + frames, 0.0f);
}

void SampleRateConverter::reset() noexcept
{
    speex_resampler_reset_mem(state_);
    speex_resampler_skip_zeros(state_);
    queued_ = 0;
}

} // namespace vlm::engine
