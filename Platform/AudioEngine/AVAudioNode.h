#pragma once
// The engine's nodes: sources that a render block fills, mixers that sum and
// convert, and the output node that plays into the output device.

#include "AVAudioFormat.h"
#include "AVAudioPCMBuffer.h"
#include "AudioUnit.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class AVAudioEngine;

// Fills `outputData` (one single-channel buffer per channel of the node's
// format) with `frameCount` frames. Runs on the render thread: it must not
// allocate, lock or block. A non-zero status or *isSilence renders silence.
using AVAudioSourceNodeRenderBlock = std::function<OSStatus(bool* isSilence, const AudioTimeStamp* timestamp,
                                                            AVAudioFrameCount frameCount,
                                                            AudioBufferList* outputData)>;

// Receives tapped audio on the engine's tap thread (never the render thread,
// never assumed to be the main thread). The buffer may be kept; if it is not,
// the engine reuses it for the next delivery.
using AVAudioNodeTapBlock =
    std::function<void(const std::shared_ptr<AVAudioPCMBuffer>& buffer, const AVAudioTime& when)>;

class AVAudioNode {
public:
    virtual ~AVAudioNode();
    AVAudioNode(const AVAudioNode&) = delete;
    AVAudioNode& operator=(const AVAudioNode&) = delete;

    // The engine this node is attached to, or null.
    AVAudioEngine* engine() const { return engine_; }

    AVAudioNodeBus numberOfInputs() const;
    AVAudioNodeBus numberOfOutputs() const;
    // The format on that bus as the engine resolves it now; null when the bus
    // does not exist or is not connected.
    std::shared_ptr<AVAudioFormat> outputFormatForBus(AVAudioNodeBus bus) const;
    std::shared_ptr<AVAudioFormat> inputFormatForBus(AVAudioNodeBus bus) const;

    // Observes output bus 0 of a source or mixer node. `bufferSize` frames go to
    // each call of `block` (0 picks 4096). A null `format` takes the bus's own;
    // a format given must match it, or the engine's start fails. One tap per
    // bus: installing again replaces it. Changes take effect at the next start.
    // Throws std::invalid_argument for another bus, an output node or no block,
    // std::logic_error when not attached or while the engine runs.
    void installTapOnBus(AVAudioNodeBus bus, AVAudioFrameCount bufferSize, std::shared_ptr<AVAudioFormat> format,
                         AVAudioNodeTapBlock block);
    void removeTapOnBus(AVAudioNodeBus bus);

protected:
    enum class Kind { source, mixer, output };
    explicit AVAudioNode(Kind kind) : kind_(kind) {}

private:
    friend class AVAudioEngine;

    struct Tap {
        AVAudioFrameCount bufferSize;
        std::shared_ptr<AVAudioFormat> format;
        AVAudioNodeTapBlock block;
    };

    const Kind kind_;
    AVAudioEngine* engine_ = nullptr;
    std::optional<Tap> tap_;
};

class AVAudioSourceNode final : public AVAudioNode {
public:
    // Throws std::invalid_argument for a null format or block.
    AVAudioSourceNode(std::shared_ptr<AVAudioFormat> format, AVAudioSourceNodeRenderBlock renderBlock);

    const std::shared_ptr<AVAudioFormat>& format() const { return format_; }
    const AVAudioSourceNodeRenderBlock& renderBlock() const { return renderBlock_; }

private:
    std::shared_ptr<AVAudioFormat> format_;
    AVAudioSourceNodeRenderBlock renderBlock_;
};

// Sums its inputs, bringing each to the mixer's output rate and channel count,
// then applies outputVolume. A new volume is ramped across the next render
// block, so moving it never clicks.
class AVAudioMixerNode final : public AVAudioNode {
public:
    AVAudioMixerNode() : AVAudioNode(Kind::mixer) {}

    // Any thread.
    float outputVolume() const { return outputVolume_.load(std::memory_order_relaxed); }
    void setOutputVolume(float volume) { outputVolume_.store(volume, std::memory_order_relaxed); }

    // The lowest input bus with nothing connected.
    AVAudioNodeBus nextAvailableInputBus() const;

private:
    friend class AVAudioEngine;
    std::atomic<float> outputVolume_{1.0f};
};

// Plays what reaches its input into the engine's output device. Created by
// the engine; get it with AVAudioEngine::outputNode().
class AVAudioOutputNode final : public AVAudioNode {
public:
    ~AVAudioOutputNode() override;

    // The output unit that chooses the device (kAudioOutputUnitProperty_CurrentDevice);
    // null while the engine renders manually.
    AudioUnit audioUnit() const;

private:
    friend class AVAudioEngine;
    AVAudioOutputNode();
    std::unique_ptr<OpaqueAudioUnit> unit_;
};
