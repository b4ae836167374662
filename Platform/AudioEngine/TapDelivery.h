#pragma once
// The hand-off from the render thread to the tap thread: each tap has one
// preallocated single-producer single-consumer lock-free queue per channel;
// the render thread posts a semaphore (async-signal-safe, no lock) when it has
// queued the last frame of a tap buffer, and the tap thread gathers whole
// buffers and calls the tap blocks.

#include "AVAudioNode.h"

#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <memory>
#include <semaphore.h>
#include <thread>
#include <vector>

namespace vlm::engine {

class RenderGraph;

class TapWakeup {
public:
    TapWakeup();
    ~TapWakeup();
    TapWakeup(const TapWakeup&) = delete;
    TapWakeup& operator=(const TapWakeup&) = delete;
    void signal() noexcept;
    void wait() noexcept;

private:
    sem_t semaphore_;
};

class TapChannel {
public:
    // `maximumPushFrames`: the most frames one render pass pushes. `wakeup`
    // is posted whenever a whole buffer is ready for the tap thread.
    TapChannel(std::shared_ptr<AVAudioFormat> format, AVAudioFrameCount bufferSize, AVAudioNodeTapBlock block,
               std::uint32_t maximumPushFrames, TapWakeup& wakeup);

    // Render thread. All frames or, when the tap thread has fallen behind,
    // none (counted as dropped), so channels never slip against each other.
    void push(const float* const* channels, std::uint32_t frames) noexcept;

    // Tap thread: hands every full buffer to the block.
    void deliver();
    // Neither thread running.
    void reset();
    std::uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

private:
    const std::shared_ptr<AVAudioFormat> format_;
    const std::uint32_t channels_;
    const AVAudioFrameCount bufferSize_;
    const AVAudioNodeTapBlock block_;
    TapWakeup& wakeup_;
    // One queue per channel, filled in channel order, so the last channel's
    // queue never holds more frames than the others.
    std::vector<std::unique_ptr<boost::lockfree::spsc_queue<float>>> queues_;
    AVAudioFrameCount queuedSinceBuffer_ = 0;  // render thread's: frames of the buffer being filled
    std::shared_ptr<AVAudioPCMBuffer> buffer_;
    AVAudioFramePosition deliveredFrames_ = 0;
    std::atomic<std::uint64_t> dropped_{0};
};

// The engine's tap thread.
class TapDelivery {
public:
    explicit TapDelivery(std::shared_ptr<RenderGraph> graph);
    ~TapDelivery();  // stops and joins
    TapDelivery(const TapDelivery&) = delete;
    TapDelivery& operator=(const TapDelivery&) = delete;

private:
    std::shared_ptr<RenderGraph> graph_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace vlm::engine
