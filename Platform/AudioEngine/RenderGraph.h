#pragma once
// What the engine builds from its nodes at prepare(): one stage per node that
// the output pulls from, each with its buffers, converters and tap channel
// allocated up front, so that a render pass allocates and locks nothing.

#include "AVAudioNode.h"
#include "SampleRateConverter.h"
#include "TapDelivery.h"

#include <memory>
#include <vector>

namespace vlm::engine {

// The engine's output device as the hardware describes it.
struct OutputDevice {
    AudioObjectID id = kAudioObjectUnknown;
    double sampleRate = 0.0;
    std::vector<std::uint32_t> streamChannels;  // per output stream, interleaved float
    std::uint32_t channelCount() const;
};

// Deinterleaved channels of a fixed number of frames.
class ChannelBuffers {
public:
    ChannelBuffers(std::uint32_t channels, std::uint32_t frames);
    float* const* data() const { return pointers_.data(); }
    std::uint32_t channelCount() const { return std::uint32_t(pointers_.size()); }

private:
    std::vector<float> samples_;
    std::vector<float*> pointers_;
};

class RenderStage {
public:
    explicit RenderStage(std::uint32_t channels) : channels_(channels) {}
    virtual ~RenderStage() = default;
    RenderStage(const RenderStage&) = delete;
    RenderStage& operator=(const RenderStage&) = delete;

    std::uint32_t channelCount() const { return channels_; }
    void setTap(TapChannel* tap) { tap_ = tap; }

    // Writes `frames` frames into `output` (channelCount() channels) and shows
    // them to the tap.
    void render(std::uint32_t frames, float* const* output) noexcept
    {
        produce(frames, output);
        if (tap_)
            tap_->push(output, frames);
    }
    virtual void reset() noexcept {}

protected:
    virtual void produce(std::uint32_t frames, float* const* output) noexcept = 0;

private:
    const std::uint32_t channels_;
    TapChannel* tap_ = nullptr;
};

class SourceStage final : public RenderStage {
public:
    SourceStage(std::shared_ptr<const AVAudioSourceNode> node, const std::uint64_t* hostTime);
    void reset() noexcept override { sampleTime_ = 0; }

private:
    void produce(std::uint32_t frames, float* const* output) noexcept override;

    std::shared_ptr<const AVAudioSourceNode> node_;
    const std::uint64_t* hostTime_;  // of the pass being rendered
    std::vector<std::byte> bufferList_;
    double sampleTime_ = 0.0;
};

class MixerStage final : public RenderStage {
public:
    MixerStage(std::shared_ptr<const AVAudioMixerNode> node, std::uint32_t channels, std::uint32_t maximumFrames);
    // `converter` is null when the input already runs at the mixer's rate.
    void addInput(RenderStage& upstream, std::unique_ptr<SampleRateConverter> converter);
    void reset() noexcept override;

private:
    struct Input {
        RenderStage* upstream;
        std::unique_ptr<SampleRateConverter> converter;
        ChannelBuffers scratch;
    };
    void produce(std::uint32_t frames, float* const* output) noexcept override;

    std::shared_ptr<const AVAudioMixerNode> node_;
    std::uint32_t maximumFrames_;
    std::vector<Input> inputs_;
    // The first input renders straight into the output when its channels
    // match: no silence to sum it onto, no copy, and no buffer of its own.
    bool firstInputInPlace_ = false;
    float appliedVolume_;
};

class RenderGraph {
public:
    // `outputChannels`: what the stage feeding the output delivers, after any
    // rate conversion; `maximumFrames` per pass.
    RenderGraph(std::uint32_t outputChannels, std::uint32_t maximumFrames);
    ~RenderGraph();

    // Building, before any rendering.
    template <class Stage, class... Args>
    Stage& addStage(Args&&... args)
    {
        auto stage = std::make_unique<Stage>(std::forward<Args>(args)...);
        Stage& result = *stage;
        stages_.push_back(std::move(stage));
        return result;
    }
    TapChannel& addTap(std::unique_ptr<TapChannel> tap);
    void setOutputSource(RenderStage& upstream, std::unique_ptr<SampleRateConverter> converter);
    void setDeviceStreams(std::vector<std::uint32_t> streamChannels) { deviceStreams_ = std::move(streamChannels); }
    const std::uint64_t* hostTime() const { return &hostTime_; }

    std::uint32_t outputChannelCount() const { return outputChannels_; }
    std::uint32_t maximumFrames() const { return maximumFrames_; }

    // Render thread. At most maximumFrames() frames into `channels` channels.
    void renderDeinterleaved(std::uint32_t frames, float* const* output, std::uint32_t channels) noexcept;
    // Render thread: fills the device's interleaved output streams, in as many
    // passes as their length needs.
    void renderToDevice(AudioBufferList* outputData, const AudioTimeStamp* outputTime) noexcept;

    // Neither while rendering.
    void reset() noexcept;

    // Posted by the taps on the render thread, awaited by the tap thread.
    TapWakeup& tapWakeup() { return tapWakeup_; }

    // Any thread: see AVAudioEngine::setTapsPaused().
    void setTapsPaused(bool paused) noexcept;

    // Tap thread.
    void deliverTaps();
    std::uint64_t droppedTapFrames() const;
    bool hasTaps() const { return !taps_.empty(); }

private:
    void pullOutput(std::uint32_t frames, float* const* output) noexcept;

    const std::uint32_t outputChannels_;
    const std::uint32_t maximumFrames_;
    TapWakeup tapWakeup_;  // before the taps, which hold it
    std::vector<std::unique_ptr<RenderStage>> stages_;
    std::vector<std::unique_ptr<TapChannel>> taps_;
    RenderStage* outputSource_ = nullptr;
    std::unique_ptr<SampleRateConverter> outputConverter_;
    std::vector<std::uint32_t> deviceStreams_;
    ChannelBuffers scratch_;
    std::uint64_t hostTime_ = 0;
};

} // namespace vlm::engine
