#include "RenderGraph.h"

#include <algorithm>
#include <cstring>

namespace vlm::engine {

std::uint32_t OutputDevice::channelCount() const
{
    std::uint32_t total = 0;
    for (std::uint32_t channels : streamChannels)
        total += channels;
    return total;
}

ChannelBuffers::ChannelBuffers(std::uint32_t channels, std::uint32_t frames)
    : samples_(std::size_t(channels) * frames, 0.0f), pointers_(channels)
{
    for (std::uint32_t c = 0; c < channels; ++c)
        pointers_[c] = samples_.data() + std::size_t(c) * frames;
}

namespace {

// The per-sample loops are plain index loops over pointers that do not alias,
// so that the compiler vectorises them (the engine builds with -O3, see
// CMakeLists.txt).

void silence(float* const* output, std::uint32_t channels, std::uint32_t frames) noexcept
{
    for (std::uint32_t c = 0; c < channels; ++c)
        std::fill(output[c], output[c] + frames, 0.0f);
}

void add(float* __restrict out, const float* __restrict in, std::uint32_t frames) noexcept
{
    for (std::uint32_t f = 0; f < frames; ++f)
        out[f] += in[f];
}

void addScaled(float* __restrict out, const float* __restrict in, float gain, std::uint32_t frames) noexcept
{
    for (std::uint32_t f = 0; f < frames; ++f)
        out[f] += in[f] * gain;
}

void scale(float* out, float gain, std::uint32_t frames) noexcept
{
    for (std::uint32_t f = 0; f < frames; ++f)
        out[f] *= gain;
}

// Gain start + step, start + 2 step, ... on successive frames. The counter is
// signed: that converts to float in one vector instruction, unsigned in several.
void ramp(float* out, float start, float step, std::uint32_t frames) noexcept
{
    const auto count = std::int32_t(frames);
    for (std::int32_t f = 0; f < count; ++f)
        out[f] *= start + step * float(f + 1);
}

// Into a stereo device stream, the common case: both channels in one loop,
// which the compiler turns into vector shuffles and whole-vector stores.
void interleave(float* __restrict out, const float* __restrict left, const float* __restrict right,
                std::uint32_t frames) noexcept
{
    for (std::uint32_t f = 0; f < frames; ++f) {
        out[2 * std::size_t(f)] = left[f];
        out[2 * std::size_t(f) + 1] = right[f];
    }
}

// Adds `input` to `output`, matching channel counts: equal counts map one to
// one, a mono input feeds every output channel, a mono output takes the mean,
// and otherwise the extra channels of either side are left out.
void accumulate(float* const* output, std::uint32_t outputChannels, const float* const* input,
                std::uint32_t inputChannels, std::uint32_t frames) noexcept
{
    if (outputChannels == 1 && inputChannels > 1) {
        const float mean = 1.0f / float(inputChannels);
        for (std::uint32_t c = 0; c < inputChannels; ++c)
            addScaled(output[0], input[c], mean, frames);
        return;
    }
    for (std::uint32_t c = 0; c < outputChannels; ++c) {
        if (inputChannels != 1 && c >= inputChannels)
            break;
        add(output[c], input[inputChannels == 1 ? 0 : c], frames);
    }
}

} // namespace

SourceStage::SourceStage(std::shared_ptr<const AVAudioSourceNode> node, const std::uint64_t* hostTime)
    : RenderStage(node->format()->channelCount()),
      node_(std::move(node)),
      hostTime_(hostTime),
      bufferList_(AudioBufferListSize(channelCount()))
{
}

void SourceStage::produce(std::uint32_t frames, float* const* output) noexcept
{
    auto* list = reinterpret_cast<AudioBufferList*>(bufferList_.data());
    list->mNumberBuffers = channelCount();
    for (std::uint32_t c = 0; c < channelCount(); ++c)
        list->mBuffers[c] = AudioBuffer{1, std::uint32_t(frames * sizeof(float)), output[c]};

    AudioTimeStamp timestamp{};
    timestamp.mSampleTime = sampleTime_;
    timestamp.mHostTime = *hostTime_;
    timestamp.mRateScalar = 1.0;
    timestamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    sampleTime_ += frames;

    bool isSilence = false;
    const OSStatus status = node_->renderBlock()(&isSilence, &timestamp, frames, list);
    if (status != 0 || isSilence) {
        silence(output, channelCount(), frames);
        return;
    }
    // A block may point the list at its own memory instead of filling ours.
    for (std::uint32_t c = 0; c < channelCount(); ++c) {
        const void* data = list->mBuffers[c].mData;
        if (data == output[c])
            continue;
        if (data)
            std::memcpy(output[c], data, frames * sizeof(float));
        else
            std::fill(output[c], output[c] + frames, 0.0f);
    }
}

MixerStage::MixerStage(std::shared_ptr<const AVAudioMixerNode> node, std::uint32_t channels,
                       std::uint32_t maximumFrames)
    : RenderStage(channels), node_(std::move(node)), maximumFrames_(maximumFrames),
      appliedVolume_(node_->outputVolume())
{
}

void MixerStage::addInput(RenderStage& upstream, std::unique_ptr<SampleRateConverter> converter)
{
    const bool inPlace = inputs_.empty() && upstream.channelCount() == channelCount();
    if (inputs_.empty())
        firstInputInPlace_ = inPlace;
    inputs_.push_back(Input{&upstream, std::move(converter),
                            ChannelBuffers(upstream.channelCount(), inPlace ? 0 : maximumFrames_)});
}

void MixerStage::produce(std::uint32_t frames, float* const* output) noexcept
{
    if (!firstInputInPlace_)
        silence(output, channelCount(), frames);
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        Input& input = inputs_[i];
        const bool inPlace = i == 0 && firstInputInPlace_;
        float* const* target = inPlace ? output : input.scratch.data();
        if (input.converter)
            input.converter->pull(*input.upstream, frames, target);
        else
            input.upstream->render(frames, target);
        if (!inPlace)
            accumulate(output, channelCount(), input.scratch.data(), input.scratch.channelCount(), frames);
    }

    // A changed volume moves linearly from the old to the new value across
    // this pass, so a dragged gain slider never steps.
    const float target = node_->outputVolume();
    const float start = appliedVolume_;
    appliedVolume_ = target;
    if (start == target) {
        if (target == 1.0f)
            return;
        for (std::uint32_t c = 0; c < channelCount(); ++c)
            scale(output[c], target, frames);
        return;
    }
    const float step = (target - start) / float(frames);
    for (std::uint32_t c = 0; c < channelCount(); ++c)
        ramp(output[c], start, step, frames);
}

void MixerStage::reset() noexcept
{
    for (Input& input : inputs_)
        if (input.converter)
            input.converter->reset();
    appliedVolume_ = node_->outputVolume();
}

RenderGraph::RenderGraph(std::uint32_t outputChannels, std::uint32_t maximumFrames)
    : outputChannels_(outputChannels), maximumFrames_(maximumFrames), scratch_(outputChannels, maximumFrames)
{
}

RenderGraph::~RenderGraph() = default;

TapChannel& RenderGraph::addTap(std::unique_ptr<TapChannel> tap)
{
    taps_.push_back(std::move(tap));
    return *taps_.back();
}

void RenderGraph::setOutputSource(RenderStage& upstream, std::unique_ptr<SampleRateConverter> converter)
{
    outputSource_ = &upstream;
    outputConverter_ = std::move(converter);
}

void RenderGraph::pullOutput(std::uint32_t frames, float* const* output) noexcept
{
    if (!outputSource_)
        silence(output, outputChannels_, frames);
    else if (outputConverter_)
        outputConverter_->pull(*outputSource_, frames, output);
    else
        outputSource_->render(frames, output);
}

void RenderGraph::renderDeinterleaved(std::uint32_t frames, float* const* output, std::uint32_t channels) noexcept
{
    frames = std::min(frames, maximumFrames_);
    if (channels == outputChannels_) {
        pullOutput(frames, output);
    } else {
        pullOutput(frames, scratch_.data());
        silence(output, channels, frames);
        accumulate(output, channels, scratch_.data(), outputChannels_, frames);
    }
}

void RenderGraph::renderToDevice(AudioBufferList* outputData, const AudioTimeStamp* outputTime) noexcept
{
    if (!outputData || outputData->mNumberBuffers == 0)
        return;
    if (outputTime)
        hostTime_ = outputTime->mHostTime;

    // The device's frame count: from the first stream that has channels.
    std::uint32_t deviceFrames = 0;
    for (std::uint32_t b = 0; b < outputData->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = outputData->mBuffers[b];
        if (buffer.mNumberChannels > 0 && buffer.mData) {
            deviceFrames = buffer.mDataByteSize / (buffer.mNumberChannels * sizeof(float));
            break;
        }
    }

    for (std::uint32_t done = 0; done < deviceFrames;) {
        const std::uint32_t frames = std::min(deviceFrames - done, maximumFrames_);
        pullOutput(frames, scratch_.data());
        // Graph channel c goes to device channel c, counted across streams; a
        // mono graph feeds every device channel; extra device channels are silent.
        auto graphChannel = [this](std::uint32_t deviceChannel) -> const float* {
            const std::uint32_t source = outputChannels_ == 1 ? 0 : deviceChannel;
            return source < outputChannels_ ? scratch_.data()[source] : nullptr;
        };
        std::uint32_t deviceChannel = 0;
        for (std::uint32_t b = 0; b < outputData->mNumberBuffers; ++b) {
            AudioBuffer& buffer = outputData->mBuffers[b];
            if (!buffer.mData || buffer.mNumberChannels == 0)
                continue;
            const std::uint32_t width = buffer.mNumberChannels;
            const std::uint32_t capacity = buffer.mDataByteSize / (width * sizeof(float));
            const std::uint32_t count = capacity > done ? std::min(frames, capacity - done) : 0;
            auto* out = static_cast<float*>(buffer.mData) + std::size_t(done) * width;
            const std::uint32_t first = deviceChannel;
            deviceChannel += width;
            if (width == 2 && graphChannel(first) && graphChannel(first + 1)) {
                interleave(out, graphChannel(first), graphChannel(first + 1), count);
                continue;
            }
            for (std::uint32_t c = 0; c < width; ++c) {
                const float* in = graphChannel(first + c);
                for (std::uint32_t f = 0; f < count; ++f)
                    out[std::size_t(f) * width + c] = in ? in[f] : 0.0f;
            }
        }
        done += frames;
    }
}

void RenderGraph::reset() noexcept
{
    for (auto& stage : stages_)
        stage->reset();
    if (outputConverter_)
        outputConverter_->reset();
    for (auto& tap : taps_)
        tap->reset();
}

void RenderGraph::setTapsPaused(bool paused) noexcept
{
    for (auto& tap : taps_)
        tap->setPaused(paused);
}

void RenderGraph::deliverTaps()
{
    for (auto& tap : taps_)
        tap->deliver();
}

std::uint64_t RenderGraph::droppedTapFrames() const
{
    std::uint64_t total = 0;
    for (const auto& tap : taps_)
        total += tap->droppedFrames();
    return total;
}

} // namespace vlm::engine

