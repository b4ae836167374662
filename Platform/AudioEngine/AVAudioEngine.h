#pragma once
// A pull graph of nodes clocked by its output device: start() registers an
// IOProc on the current output device and renders the graph into that
// device's output buffers on the device's IO thread. Taps are delivered on a
// thread of the engine. Call everything except renderOffline() from one
// thread (the main thread in the program).

#include "AVAudioNode.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace vlm::engine {
class RenderGraph;
class RenderStage;
class TapDelivery;
struct OutputDevice;
} // namespace vlm::engine

// Why the engine could not start; what() is a sentence for the user.
class AVAudioEngineError : public std::exception {
public:
    AVAudioEngineError(OSStatus code, std::string description);
    OSStatus code() const { return code_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    OSStatus code_;
    std::string description_;
};

enum class AVAudioEngineManualRenderingMode { offline, realtime };

enum class AVAudioEngineManualRenderingStatus {
    error = -1,
    success = 0,
    insufficientDataFromInputNode = 1,
    cannotDoInCurrentContext = 2,
};

class AVAudioEngine {
public:
    // Most frames one render pass handles; longer device buffers are rendered
    // in several passes.
    static constexpr AVAudioFrameCount kMaximumFramesToRender = 4096;

    AVAudioEngine();
    ~AVAudioEngine();
    AVAudioEngine(const AVAudioEngine&) = delete;
    AVAudioEngine& operator=(const AVAudioEngine&) = delete;

    // Graph changes throw std::invalid_argument for nodes of another engine
    // (or none), impossible buses or connections, and std::logic_error while
    // the engine runs.
    void attach(std::shared_ptr<AVAudioNode> node);
    void detach(const std::shared_ptr<AVAudioNode>& node);
    // Into a mixer's next free input bus, or the only bus of the output node.
    // A null format lets the engine choose: a mixer's output takes the format
    // of the mixer or output it feeds; a source node always delivers its own
    // format (a different one given for it throws std::invalid_argument).
    void connect(const std::shared_ptr<AVAudioNode>& from, const std::shared_ptr<AVAudioNode>& to,
                 std::shared_ptr<AVAudioFormat> format);
    void connect(const std::shared_ptr<AVAudioNode>& from, const std::shared_ptr<AVAudioNode>& to,
                 AVAudioNodeBus fromBus, AVAudioNodeBus toBus, std::shared_ptr<AVAudioFormat> format);
    void disconnectNodeInput(const std::shared_ptr<AVAudioNode>& node, AVAudioNodeBus bus);
    void disconnectNodeOutput(const std::shared_ptr<AVAudioNode>& node);

    // Created, attached and connected to the output node on first use.
    std::shared_ptr<AVAudioMixerNode> mainMixerNode();
    std::shared_ptr<AVAudioOutputNode> outputNode() const { return outputNode_; }
    std::vector<std::shared_ptr<AVAudioNode>> attachedNodes() const { return nodes_; }

    // Allocates everything rendering needs, so start() is quick. Never throws:
    // whatever fails here fails again, with its description, in start().
    void prepare();
    // Throws AVAudioEngineError. Does nothing while running.
    void start();
    // Stops the IOProc and the tap thread; undelivered tap audio is dropped.
    void stop();
    // Clears what the nodes hold from earlier audio (resampler history, partial
    // tap buffers, sample times). Does nothing while running.
    void reset();
    bool isRunning() const { return running_; }

    // Rendering without a device, pulled by renderOffline() on the caller's
    // thread, in `format` (deinterleaved float). Only while stopped; throws
    // AVAudioEngineError for a null format or a maximum of 0 frames.
    void enableManualRenderingMode(AVAudioEngineManualRenderingMode mode, std::shared_ptr<AVAudioFormat> format,
                                   AVAudioFrameCount maximumFrameCount);
    bool isInManualRenderingMode() const { return manualFormat_ != nullptr; }
    std::shared_ptr<AVAudioFormat> manualRenderingFormat() const { return manualFormat_; }
    // Renders `numberOfFrames` into `buffer` (whose format must have the
    // manual rendering channel count). Real-time safe. Call it from one thread
    // at a time, and only between start() and stop().
    AVAudioEngineManualRenderingStatus renderOffline(AVAudioFrameCount numberOfFrames,
                                                     AVAudioPCMBuffer& buffer) noexcept;

    // Not an AVFoundation call (there a program removes its taps instead):
    // while paused, the render thread hands the taps nothing and the tap
    // thread is not woken. After a pause, taps get whole buffers again from
    // the first frame rendered after it, their times counting the frames
    // skipped. For taps that only feed what is on screen while nothing is.
    void setTapsPaused(bool paused);

    // Tap audio the render thread had to drop because the tap thread fell
    // behind, in frames, since the last start.
    std::uint64_t droppedTapFrames() const;

private:
    friend class AVAudioNode;
    friend class AVAudioMixerNode;
    friend OSStatus AudioUnitSetProperty(AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement,
                                         const void*, std::uint32_t);
    friend OSStatus AudioUnitGetProperty(AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement, void*,
                                         std::uint32_t*);

    struct Connection {
        AVAudioNode* from;
        AVAudioNodeBus fromBus;
        AVAudioNode* to;
        AVAudioNodeBus toBus;
        std::shared_ptr<AVAudioFormat> format;
    };

    void requireStopped(const char* operation) const;
    void requireAttached(const std::shared_ptr<AVAudioNode>& node) const;
    const Connection* outputConnection(const AVAudioNode& node) const;
    const Connection* inputConnection(const AVAudioNode& node, AVAudioNodeBus bus) const;
    std::vector<const Connection*> inputConnections(const AVAudioNode& node) const;
    AVAudioNodeBus inputBusCount(const AVAudioNode& node) const;
    // The format a node delivers on its output bus; `outputFormat` is what the
    // output node plays (null: not known, mixers fed into it stay unresolved).
    std::shared_ptr<AVAudioFormat> resolvedOutputFormat(const AVAudioNode& node,
                                                        const std::shared_ptr<AVAudioFormat>& outputFormat) const;
    std::shared_ptr<AVAudioFormat> currentOutputFormat() const;

    OSStatus setCurrentDevice(AudioObjectID device);
    void invalidate() { graph_.reset(); }
    vlm::engine::OutputDevice findOutputDevice() const;
    std::shared_ptr<vlm::engine::RenderGraph> buildGraph(const std::shared_ptr<AVAudioFormat>& outputFormat,
                                                          AVAudioFrameCount maximumFrames,
                                                          const std::vector<std::uint32_t>& deviceStreams) const;
    vlm::engine::RenderStage& buildStage(vlm::engine::RenderGraph& graph, const AVAudioNode& node,
                                         AVAudioFrameCount maximumFrames,
                                         const std::shared_ptr<AVAudioFormat>& outputFormat) const;
    std::shared_ptr<AVAudioNode> shared(const AVAudioNode& node) const;
    void prepareOrThrow();

    std::vector<std::shared_ptr<AVAudioNode>> nodes_;
    std::vector<Connection> connections_;
    std::shared_ptr<AVAudioOutputNode> outputNode_;
    std::shared_ptr<AVAudioMixerNode> mainMixerNode_;

    AudioObjectID currentDevice_ = kAudioObjectUnknown;  // unknown: the system's default output
    std::shared_ptr<AVAudioFormat> manualFormat_;
    AVAudioFrameCount manualMaximumFrames_ = 0;

    // The prepared graph and what it was built for.
    std::shared_ptr<vlm::engine::RenderGraph> graph_;
    AudioObjectID graphDevice_ = kAudioObjectUnknown;
    std::shared_ptr<AVAudioFormat> graphFormat_;
    std::vector<std::uint32_t> graphStreams_;
    std::unique_ptr<vlm::engine::TapDelivery> tapDelivery_;
    AudioDeviceIOProcID ioProc_ = nullptr;
    bool running_ = false;
    bool tapsPaused_ = false;
};
