#pragma once
// Brings one upstream stage's frames to another rate, pulled: asked for N
// output frames, it renders as many input frames from upstream as that needs.
// speexdsp does the filtering (see README.md for why speexdsp and this quality).

#include <cstdint>
#include <vector>

struct SpeexResamplerState_;

namespace vlm::engine {

class RenderStage;

class SampleRateConverter {
public:
    // speexdsp quality 0..10; 5 is its "desktop" setting.
    static constexpr int kQuality = 5;

    // Allocates everything; pull() never does.
    SampleRateConverter(std::uint32_t channels, double inputRate, double outputRate,
                        std::uint32_t maximumOutputFrames, int quality = kQuality);
    ~SampleRateConverter();
    SampleRateConverter(const SampleRateConverter&) = delete;
    SampleRateConverter& operator=(const SampleRateConverter&) = delete;

    // The most frames one pull() asks of upstream.
    std::uint32_t maximumInputFrames() const { return maximumInputFrames_; }
    // Delay of the filter, in output frames.
    std::uint32_t latencyFrames() const;

    // Real-time safe. `frames` must not exceed maximumOutputFrames.
    void pull(RenderStage& upstream, std::uint32_t frames, float* const* output) noexcept;
    // Forgets the history, as if no audio had passed. Not while pulling.
    void reset() noexcept;

private:
    SpeexResamplerState_* state_ = nullptr;
    std::uint32_t channels_;
    double ratio_;  // input frames per output frame
    std::uint32_t maximumOutputFrames_;
    std::uint32_t maximumInputFrames_;
    std::uint32_t capacity_;  // of the input queue, in frames
    std::uint32_t queued_ = 0;
    std::vector<float> queue_;  // channel c at [c * capacity_, (c + 1) * capacity_)
    std::vector<float*> queueTails_;
};

} // namespace vlm::engine
