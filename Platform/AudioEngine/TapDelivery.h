#pragma once
// The hand-off from the render thread to the tap thread: each tap has one
// preallocated single-producer single-consumer lock-free queue per channel;
// the render thread posts a semaphore (async-signal-safe, no lock) when it has
// queued the last frame of a tap buffer, and the tap thread gathers whole
// buffers and calls the tap blocks.
//
// Frames the render thread does not queue (the tap paused, or the tap thread
// too far behind) break the stream: the render thread then queues a mark
// before the next frames it queues, and the tap thread drops what came before
// the mark, partial buffer included, so that no buffer splices audio from both
// sides of a gap and each buffer's time is the time its first frame was rendered.

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

    // Render thread. All frames or, when the tap is paused or the tap thread
    // has fallen behind (counted as dropped), none, so channels never slip
    // against each other.
    void push(const float* const* channels, std::uint32_t frames) noexcept;

    // Any thread. While paused the render thread queues nothing and never
    // wakes the tap thread.
    void setPaused(bool paused) noexcept { paused_.store(paused, std::memory_order_relaxed); }

    // Tap thread: hands every full buffer to the block.
    void deliver();
    // Neither thread running.
    void reset();
    std::uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

private:
    // Where the frames queued after a gap begin: the count of frames queued
    // before them, and the render time of the first.
    struct Resumption {
        std::uint64_t queuedBefore;
        AVAudioFramePosition sampleTime;
    };

    // Tap thread: drops `frames` queued frames of every channel.
    void discard(std::size_t frames);

    const std::shared_ptr<AVAudioFormat> format_;
    const std::uint32_t channels_;
    const AVAudioFrameCount bufferSize_;
    const AVAudioNodeTapBlock block_;
    TapWakeup& wakeup_;
    // One queue per channel, filled in channel order, so the last channel's
    // queue never holds more frames than the others.
    std::vector<std::unique_ptr<boost::lockfree::spsc_queue<float>>> queues_;
    boost::lockfree::spsc_queue<Resumption, boost::lockfree::capacity<8>> resumptions_;
    std::atomic<bool> paused_{false};
    std::atomic<std::uint64_t> dropped_{0};
    // Render thread's.
    AVAudioFrameCount queuedSinceBuffer_ = 0;  // frames of the buffer being filled
    std::uint64_t queued_ = 0;
    AVAudioFramePosition rendered_ = 0;
    bool broken_ = false;  // frames went unqueued since the last mark
    // Tap thread's.
    std::shared_ptr<AVAudioPCMBuffer> buffer_;
    std::uint64_t taken_ = 0;  // frames popped (delivered or dropped) from each queue
    AVAudioFramePosition bufferTime_ = 0;  // render time of the buffer's first frame
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
