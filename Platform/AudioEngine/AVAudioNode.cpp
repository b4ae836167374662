#include "AVAudioNode.h"

#include "AVAudioEngine.h"
#include "OutputUnit.h"

#include <algorithm>
#include <stdexcept>

AVAudioNode::~AVAudioNode() = default;

AVAudioNodeBus AVAudioNode::numberOfInputs() const
{
    switch (kind_) {
    case Kind::source: return 0;
    case Kind::output: return 1;
    case Kind::mixer: return engine_ ? engine_->inputBusCount(*this) : 0;
    }
    return 0;
}

AVAudioNodeBus AVAudioNode::numberOfOutputs() const { return kind_ == Kind::output ? 0 : 1; }

std::shared_ptr<AVAudioFormat> AVAudioNode::outputFormatForBus(AVAudioNodeBus bus) const
{
    if (bus >= numberOfOutputs())
        return nullptr;
    if (kind_ == Kind::source)
        return static_cast<const AVAudioSourceNode*>(this)->format();
    if (!engine_)
        return nullptr;
    return engine_->resolvedOutputFormat(*this, engine_->currentOutputFormat());
}

std::shared_ptr<AVAudioFormat> AVAudioNode::inputFormatForBus(AVAudioNodeBus bus) const
{
    if (!engine_)
        return nullptr;
    const auto* connection = engine_->inputConnection(*this, bus);
    if (!connection)
        return nullptr;
    return engine_->resolvedOutputFormat(*connection->from, engine_->currentOutputFormat());
}

void AVAudioNode::installTapOnBus(AVAudioNodeBus bus, AVAudioFrameCount bufferSize,
                                  std::shared_ptr<AVAudioFormat> format, AVAudioNodeTapBlock block)
{
    if (bus != 0 || kind_ == Kind::output)
        throw std::invalid_argument("taps observe output bus 0 of a source or mixer node");
    if (!block)
        throw std::invalid_argument("a tap needs a block");
    if (!engine_)
        throw std::logic_error("a tap needs the node to be attached to an engine");
    engine_->requireStopped("installTapOnBus");
    constexpr AVAudioFrameCount kDefaultBufferSize = 4096;
    constexpr AVAudioFrameCount kLargestBufferSize = 1u << 18;
    if (bufferSize == 0)
        bufferSize = kDefaultBufferSize;
    tap_ = Tap{std::min(bufferSize, kLargestBufferSize), std::move(format), std::move(block)};
    engine_->invalidate();
}

void AVAudioNode::removeTapOnBus(AVAudioNodeBus bus)
{
    if (bus != 0 || !tap_)
        return;
    if (engine_) {
        engine_->requireStopped("removeTapOnBus");
        engine_->invalidate();
    }
    tap_.reset();
}

AVAudioSourceNode::AVAudioSourceNode(std::shared_ptr<AVAudioFormat> format, AVAudioSourceNodeRenderBlock renderBlock)
    : AVAudioNode(Kind::source), format_(std::move(format)), renderBlock_(std::move(renderBlock))
{
    if (!format_)
        throw std::invalid_argument("a source node needs a format");
    if (!renderBlock_)
        throw std::invalid_argument("a source node needs a render block");
}

AVAudioNodeBus AVAudioMixerNode::nextAvailableInputBus() const
{
    if (!engine())
        return 0;
    AVAudioNodeBus bus = 0;
    while (engine()->inputConnection(*this, bus))
        ++bus;
    return bus;
}

AVAudioOutputNode::AVAudioOutputNode() : AVAudioNode(Kind::output), unit_(std::make_unique<OpaqueAudioUnit>()) {}

AVAudioOutputNode::~AVAudioOutputNode() = default;

AudioUnit AVAudioOutputNode::audioUnit() const
{
    if (!engine() || engine()->isInManualRenderingMode())
        return nullptr;
    return unit_.get();
}
