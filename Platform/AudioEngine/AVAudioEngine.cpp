#include "AVAudioEngine.h"

#include "AudioHardware/AudioHardware.h"
#include "OutputUnit.h"
#include "RenderGraph.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

using vlm::engine::MixerStage;
using vlm::engine::OutputDevice;
using vlm::engine::RenderGraph;
using vlm::engine::RenderStage;
using vlm::engine::SampleRateConverter;
using vlm::engine::SourceStage;
using vlm::engine::TapChannel;
using vlm::engine::TapDelivery;

namespace {

// A four-character status reads better as its characters.
std::string statusText(OSStatus status)
{
    const auto code = std::uint32_t(status);
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = char((code >> shift) & 0xff);
        if (!std::isprint(static_cast<unsigned char>(c)))
            return std::to_string(status);
        text += c;
    }
    return "'" + text + "'";
}

AVAudioEngineError failure(OSStatus status, const std::string& what)
{
    return AVAudioEngineError(status, what + " (error " + statusText(status) + ").");
}

// What mixers that are not connected anywhere report, as the platform's do.
std::shared_ptr<AVAudioFormat> unconnectedFormat() { return AVAudioFormat::standardFormatWithSampleRate(44100.0, 2); }

template <class T>
OSStatus readProperty(AudioObjectID object, AudioObjectPropertySelector selector, AudioObjectPropertyScope scope,
                      T& value)
{
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    std::uint32_t size = sizeof(T);
    return AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value);
}

} // namespace

AVAudioEngineError::AVAudioEngineError(OSStatus code, std::string description)
    : code_(code), description_(std::move(description))
{
}

AVAudioEngine::AVAudioEngine() : outputNode_(new AVAudioOutputNode)
{
    outputNode_->engine_ = this;
    outputNode_->unit_->engine = this;
    nodes_.push_back(outputNode_);
}

AVAudioEngine::~AVAudioEngine()
{
    stop();
    graph_.reset();
    for (auto& node : nodes_) {
        node->engine_ = nullptr;
        node->tap_.reset();
    }
    outputNode_->unit_->engine = nullptr;
}

void AVAudioEngine::requireStopped(const char* operation) const
{
    if (running_)
        throw std::logic_error(std::string(operation) + " while the engine runs");
}

void AVAudioEngine::requireAttached(const std::shared_ptr<AVAudioNode>& node) const
{
    if (!node || node->engine_ != this)
        throw std::invalid_argument("the node is not attached to this engine");
}

std::shared_ptr<AVAudioNode> AVAudioEngine::shared(const AVAudioNode& node) const
{
    for (const auto& candidate : nodes_)
        if (candidate.get() == &node)
            return candidate;
    return nullptr;
}

void AVAudioEngine::attach(std::shared_ptr<AVAudioNode> node)
{
    if (!node)
        throw std::invalid_argument("attach needs a node");
    if (node->engine_ == this)
        return;
    if (node->engine_)
        throw std::invalid_argument("the node is attached to another engine");
    requireStopped("attach");
    node->engine_ = this;
    nodes_.push_back(std::move(node));
    invalidate();
}

void AVAudioEngine::detach(const std::shared_ptr<AVAudioNode>& node)
{
    if (!node || node->engine_ != this)
        return;
    if (node == outputNode_)
        throw std::invalid_argument("the output node stays with its engine");
    requireStopped("detach");
    std::erase_if(connections_, [&](const Connection& c) { return c.from == node.get() || c.to == node.get(); });
    if (node == mainMixerNode_)
        mainMixerNode_.reset();
    node->engine_ = nullptr;
    node->tap_.reset();
    std::erase(nodes_, node);
    invalidate();
}

void AVAudioEngine::connect(const std::shared_ptr<AVAudioNode>& from, const std::shared_ptr<AVAudioNode>& to,
                            std::shared_ptr<AVAudioFormat> format)
{
    requireAttached(to);
    AVAudioNodeBus toBus = 0;
    if (to->kind_ == AVAudioNode::Kind::mixer) {
        // Reconnecting the same pair keeps its bus.
        const Connection* existing = from ? outputConnection(*from) : nullptr;
        toBus = existing && existing->to == to.get() ? existing->toBus
                                                     : static_cast<AVAudioMixerNode&>(*to).nextAvailableInputBus();
    }
    connect(from, to, 0, toBus, std::move(format));
}

void AVAudioEngine::connect(const std::shared_ptr<AVAudioNode>& from, const std::shared_ptr<AVAudioNode>& to,
                            AVAudioNodeBus fromBus, AVAudioNodeBus toBus, std::shared_ptr<AVAudioFormat> format)
{
    requireAttached(from);
    requireAttached(to);
    if (from == to)
        throw std::invalid_argument("a node cannot feed itself");
    if (from->kind_ == AVAudioNode::Kind::output || fromBus != 0)
        throw std::invalid_argument("no such output bus");
    if (to->kind_ == AVAudioNode::Kind::source || (to->kind_ == AVAudioNode::Kind::output && toBus != 0))
        throw std::invalid_argument("no such input bus");
    if (from->kind_ == AVAudioNode::Kind::source && format
        && !(*format == *static_cast<const AVAudioSourceNode&>(*from).format()))
        throw std::invalid_argument("a source node delivers its own format");
    for (const AVAudioNode* node = to.get(); node;) {
        if (node == from.get())
            throw std::invalid_argument("the connection would make a cycle");
        const Connection* next = outputConnection(*node);
        node = next ? next->to : nullptr;
    }
    requireStopped("connect");
    std::erase_if(connections_, [&](const Connection& c) {
        return (c.from == from.get() && c.fromBus == fromBus) || (c.to == to.get() && c.toBus == toBus);
    });
    connections_.push_back(Connection{from.get(), fromBus, to.get(), toBus, std::move(format)});
    invalidate();
}

void AVAudioEngine::disconnectNodeInput(const std::shared_ptr<AVAudioNode>& node, AVAudioNodeBus bus)
{
    requireAttached(node);
    requireStopped("disconnectNodeInput");
    std::erase_if(connections_, [&](const Connection& c) { return c.to == node.get() && c.toBus == bus; });
    invalidate();
}

void AVAudioEngine::disconnectNodeOutput(const std::shared_ptr<AVAudioNode>& node)
{
    requireAttached(node);
    requireStopped("disconnectNodeOutput");
    std::erase_if(connections_, [&](const Connection& c) { return c.from == node.get(); });
    invalidate();
}

std::shared_ptr<AVAudioMixerNode> AVAudioEngine::mainMixerNode()
{
    if (!mainMixerNode_) {
        auto mixer = std::make_shared<AVAudioMixerNode>();
        attach(mixer);
        connect(mixer, outputNode_, 0, 0, nullptr);
        mainMixerNode_ = std::move(mixer);
    }
    return mainMixerNode_;
}

const AVAudioEngine::Connection* AVAudioEngine::outputConnection(const AVAudioNode& node) const
{
    for (const Connection& c : connections_)
        if (c.from == &node)
            return &c;
    return nullptr;
}

const AVAudioEngine::Connection* AVAudioEngine::inputConnection(const AVAudioNode& node, AVAudioNodeBus bus) const
{
    for (const Connection& c : connections_)
        if (c.to == &node && c.toBus == bus)
            return &c;
    return nullptr;
}

std::vector<const AVAudioEngine::Connection*> AVAudioEngine::inputConnections(const AVAudioNode& node) const
{
    std::vector<const Connection*> inputs;
    for (const Connection& c : connections_)
        if (c.to == &node)
            inputs.push_back(&c);
    std::sort(inputs.begin(), inputs.end(), [](const Connection* a, const Connection* b) { return a->toBus < b->toBus; });
    return inputs;
}

AVAudioNodeBus AVAudioEngine::inputBusCount(const AVAudioNode& node) const
{
    AVAudioNodeBus count = 0;
    for (const Connection& c : connections_)
        if (c.to == &node)
            count = std::max(count, c.toBus + 1);
    return count;
}

std::shared_ptr<AVAudioFormat> AVAudioEngine::resolvedOutputFormat(
    const AVAudioNode& node, const std::shared_ptr<AVAudioFormat>& outputFormat) const
{
    switch (node.kind_) {
    case AVAudioNode::Kind::source:
        return static_cast<const AVAudioSourceNode&>(node).format();
    case AVAudioNode::Kind::output:
        return outputFormat;
    case AVAudioNode::Kind::mixer:
        break;
    }
    const Connection* connection = outputConnection(node);
    if (!connection)
        return unconnectedFormat();
    if (connection->format)
        return connection->format;
    // No format given: a mixer runs at the format of what it feeds, so the
    // mixer feeding it converts (the program's microphone mixer relies on this).
    if (connection->to->kind_ == AVAudioNode::Kind::mixer)
        return resolvedOutputFormat(*connection->to, outputFormat);
    return outputFormat ? outputFormat : unconnectedFormat();
}

std::shared_ptr<AVAudioFormat> AVAudioEngine::currentOutputFormat() const
{
    if (manualFormat_)
        return manualFormat_;
    try {
        const OutputDevice device = findOutputDevice();
        return AVAudioFormat::standardFormatWithSampleRate(
            device.sampleRate, std::min(device.channelCount(), AVAudioFormat::kMaximumChannelCount));
    } catch (const AVAudioEngineError&) {
        return nullptr;
    }
}

OSStatus AVAudioEngine::setCurrentDevice(AudioObjectID device)
{
    if (running_ && !manualFormat_)
        return kAudioUnitErr_CannotDoInCurrentContext;
    if (device == kAudioObjectUnknown)
        return kAudioUnitErr_InvalidPropertyValue;
    const AudioObjectPropertyAddress streams{kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    if (const OSStatus status = AudioObjectGetPropertyDataSize(device, &streams, 0, nullptr, &size))
        return status;
    if (size < sizeof(AudioObjectID))
        return kAudioUnitErr_InvalidPropertyValue;
    currentDevice_ = device;
    invalidate();
    return kAudioHardwareNoError;
}

OutputDevice AVAudioEngine::findOutputDevice() const
{
    OutputDevice device;
    device.id = currentDevice_;
    if (device.id == kAudioObjectUnknown) {
        if (const OSStatus status = readProperty(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice,
                                                 kAudioObjectPropertyScopeGlobal, device.id))
            throw failure(status, "The audio engine could not find the default output device");
        if (device.id == kAudioObjectUnknown)
            throw failure(kAudioHardwareBadDeviceError, "There is no output device for the audio engine");
    }
    if (const OSStatus status = readProperty(device.id, kAudioDevicePropertyNominalSampleRate,
                                             kAudioObjectPropertyScopeGlobal, device.sampleRate))
        throw failure(status, "The audio engine could not read the output device's sample rate");

    const AudioObjectPropertyAddress streamsAddress{kAudioDevicePropertyStreams, kAudioObjectPropertyScopeOutput,
                                                    kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    OSStatus status = AudioObjectGetPropertyDataSize(device.id, &streamsAddress, 0, nullptr, &size);
    std::vector<AudioObjectID> streams(size / sizeof(AudioObjectID));
    if (status == kAudioHardwareNoError && !streams.empty())
        status = AudioObjectGetPropertyData(device.id, &streamsAddress, 0, nullptr, &size, streams.data());
    if (status != kAudioHardwareNoError)
        throw failure(status, "The audio engine could not read the output device's streams");
    streams.resize(size / sizeof(AudioObjectID));
    if (streams.empty())
        throw failure(kAudioHardwareBadStreamError, "The output device has no output streams");

    for (AudioObjectID stream : streams) {
        AudioStreamBasicDescription format{};
        if (const OSStatus formatStatus =
                readProperty(stream, kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal, format))
            throw failure(formatStatus, "The audio engine could not read the output device's format");
        const bool interleavedFloat = format.mFormatID == kAudioFormatLinearPCM
                                      && (format.mFormatFlags & kAudioFormatFlagIsFloat)
                                      && !(format.mFormatFlags & kAudioFormatFlagIsNonInterleaved)
                                      && format.mBitsPerChannel == 32;
        if (!interleavedFloat)
            throw failure(kAudioDeviceUnsupportedFormatError,
                          "The audio engine cannot play the output device's sample format");
        device.streamChannels.push_back(format.mChannelsPerFrame);
    }
    if (device.channelCount() == 0)
        throw failure(kAudioHardwareBadStreamError, "The output device has no output channels");
    return device;
}

RenderStage& AVAudioEngine::buildStage(RenderGraph& graph, const AVAudioNode& node, AVAudioFrameCount maximumFrames,
                                       const std::shared_ptr<AVAudioFormat>& outputFormat) const
{
    const std::shared_ptr<AVAudioFormat> format = resolvedOutputFormat(node, outputFormat);
    RenderStage* stage = nullptr;
    if (node.kind_ == AVAudioNode::Kind::source) {
        stage = &graph.addStage<SourceStage>(std::static_pointer_cast<const AVAudioSourceNode>(shared(node)),
                                             graph.hostTime());
    } else {
        auto& mixer = graph.addStage<MixerStage>(std::static_pointer_cast<const AVAudioMixerNode>(shared(node)),
                                                 format->channelCount(), maximumFrames);
        for (const Connection* input : inputConnections(node)) {
            const auto inputFormat = resolvedOutputFormat(*input->from, outputFormat);
            std::unique_ptr<SampleRateConverter> converter;
            if (inputFormat->sampleRate() != format->sampleRate())
                converter = std::make_unique<SampleRateConverter>(inputFormat->channelCount(),
                                                                  inputFormat->sampleRate(), format->sampleRate(),
                                                                  maximumFrames);
            const AVAudioFrameCount upstreamFrames = converter ? converter->maximumInputFrames() : maximumFrames;
            RenderStage& upstream = buildStage(graph, *input->from, upstreamFrames, outputFormat);
            mixer.addInput(upstream, std::move(converter));
        }
        stage = &mixer;
    }

    if (node.tap_) {
        if (node.tap_->format && !(*node.tap_->format == *format))
            throw failure(kAudioDeviceUnsupportedFormatError,
                          "The audio engine cannot tap a bus in a format other than the bus's own");
        TapChannel& tap = graph.addTap(
            std::make_unique<TapChannel>(format, node.tap_->bufferSize, node.tap_->block, maximumFrames,
                                         graph.tapWakeup()));
        stage->setTap(&tap);
    }
    return *stage;
}

std::shared_ptr<RenderGraph> AVAudioEngine::buildGraph(const std::shared_ptr<AVAudioFormat>& outputFormat,
                                                       AVAudioFrameCount maximumFrames,
                                                       const std::vector<std::uint32_t>& deviceStreams) const
{
    const Connection* input = inputConnection(*outputNode_, 0);
    if (!input) {
        auto graph = std::make_shared<RenderGraph>(outputFormat->channelCount(), maximumFrames);
        graph->setDeviceStreams(deviceStreams);
        return graph;
    }
    // The output converts when what feeds it runs at another rate than the device.
    const auto sourceFormat = resolvedOutputFormat(*input->from, outputFormat);
    std::unique_ptr<SampleRateConverter> converter;
    if (sourceFormat->sampleRate() != outputFormat->sampleRate())
        converter = std::make_unique<SampleRateConverter>(sourceFormat->channelCount(), sourceFormat->sampleRate(),
                                                          outputFormat->sampleRate(), maximumFrames);
    const AVAudioFrameCount sourceFrames = converter ? converter->maximumInputFrames() : maximumFrames;

    auto graph = std::make_shared<RenderGraph>(sourceFormat->channelCount(), maximumFrames);
    RenderStage& source = buildStage(*graph, *input->from, sourceFrames, outputFormat);
    graph->setOutputSource(source, std::move(converter));
    graph->setDeviceStreams(deviceStreams);
    return graph;
}

void AVAudioEngine::prepareOrThrow()
{
    if (manualFormat_) {
        if (!graph_ || graphFormat_ != manualFormat_) {
            graph_ = buildGraph(manualFormat_, manualMaximumFrames_, {});
            graphDevice_ = kAudioObjectUnknown;
            graphFormat_ = manualFormat_;
            graphStreams_.clear();
        }
        return;
    }
    const OutputDevice device = findOutputDevice();
    auto format = AVAudioFormat::standardFormatWithSampleRate(
        device.sampleRate, std::min(device.channelCount(), AVAudioFormat::kMaximumChannelCount));
    if (!format)
        throw failure(kAudioDeviceUnsupportedFormatError, "The audio engine cannot play at the output device's rate");
    // The device may have changed since prepare(); rebuild only if it did.
    if (graph_ && graphDevice_ == device.id && graphFormat_ && *graphFormat_ == *format
        && graphStreams_ == device.streamChannels)
        return;
    graph_ = buildGraph(format, kMaximumFramesToRender, device.streamChannels);
    graphDevice_ = device.id;
    graphFormat_ = std::move(format);
    graphStreams_ = device.streamChannels;
}

void AVAudioEngine::prepare()
{
    if (running_)
        return;
    try {
        prepareOrThrow();
    } catch (const AVAudioEngineError&) {
        // start() meets the same failure and reports it.
    }
}

void AVAudioEngine::start()
{
    if (running_)
        return;
    prepareOrThrow();
    const std::shared_ptr<RenderGraph> graph = graph_;
    graph->reset();
    graph->setTapsPaused(tapsPaused_);
    std::unique_ptr<TapDelivery> taps = graph->hasTaps() ? std::make_unique<TapDelivery>(graph) : nullptr;
    if (manualFormat_) {
        tapDelivery_ = std::move(taps);
        running_ = true;
        return;
    }

    // The block holds the graph by plain pointer: graph_ outlives the IOProc,
    // which stop() destroys before anything may replace graph_.
    RenderGraph* renderGraph = graph.get();
    AudioDeviceIOProcID ioProc = nullptr;
    OSStatus status = AudioDeviceCreateIOProcIDWithBlock(
        &ioProc, graphDevice_, nullptr,
        [renderGraph](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                      AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime) {
            renderGraph->renderToDevice(outOutputData, inOutputTime);
        });
    if (status == kAudioHardwareNoError && !ioProc)
        status = kAudioHardwareUnspecifiedError;
    if (status != kAudioHardwareNoError)
        throw failure(status, "The audio engine could not attach to the output device");
    status = AudioDeviceStart(graphDevice_, ioProc);
    if (status != kAudioHardwareNoError) {
        AudioDeviceDestroyIOProcID(graphDevice_, ioProc);
        throw failure(status, "The audio engine could not start the output device");
    }
    ioProc_ = ioProc;
    tapDelivery_ = std::move(taps);
    running_ = true;
}

void AVAudioEngine::stop()
{
    if (!running_)
        return;
    if (ioProc_) {
        // Teardown never fails: what these report changes nothing.
        AudioDeviceStop(graphDevice_, ioProc_);
        AudioDeviceDestroyIOProcID(graphDevice_, ioProc_);
        ioProc_ = nullptr;
    }
    tapDelivery_.reset();
    running_ = false;
}

void AVAudioEngine::reset()
{
    if (!running_ && graph_)
        graph_->reset();
}

void AVAudioEngine::enableManualRenderingMode(AVAudioEngineManualRenderingMode, std::shared_ptr<AVAudioFormat> format,
                                              AVAudioFrameCount maximumFrameCount)
{
    if (running_)
        throw AVAudioEngineError(kAudioUnitErr_CannotDoInCurrentContext,
                                 "The audio engine must be stopped to change how it renders.");
    if (!format || maximumFrameCount == 0)
        throw AVAudioEngineError(kAudio_ParamError, "Manual rendering needs a format and a frame count.");
    manualFormat_ = std::move(format);
    manualMaximumFrames_ = maximumFrameCount;
    invalidate();
}

AVAudioEngineManualRenderingStatus AVAudioEngine::renderOffline(AVAudioFrameCount numberOfFrames,
                                                                AVAudioPCMBuffer& buffer) noexcept
{
    if (!running_ || !manualFormat_ || !graph_)
        return AVAudioEngineManualRenderingStatus::cannotDoInCurrentContext;
    if (numberOfFrames > manualMaximumFrames_ || numberOfFrames > buffer.frameCapacity())
        return AVAudioEngineManualRenderingStatus::error;
    graph_->renderDeinterleaved(numberOfFrames, buffer.floatChannelData(), buffer.format()->channelCount());
    buffer.setFrameLength(numberOfFrames);
    return AVAudioEngineManualRenderingStatus::success;
}

void AVAudioEngine::setTapsPaused(bool paused)
{
    tapsPaused_ = paused;
    if (graph_)
        graph_->setTapsPaused(paused);
}

std::uint64_t AVAudioEngine::droppedTapFrames() const { return graph_ ? graph_->droppedTapFrames() : 0; }
