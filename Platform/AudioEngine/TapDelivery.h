#pragma once
// The hand-off from the render thread to the tap thread: each tap has one
// preallocated single-producer single-consumer lock-free queue per channel,
// and the tap thread gathers whole buffers and calls the tap blocks. While
// buffers keep coming the tap thread looks for them on a timer of its own,
// once per tap buffer, so the render thread makes no system call for it: a
// wake-up costs the waking thread about what the whole cycle's work does. Only
// when the tap thread has found nothing twice and sleeps, or when a queue is
// half full, does the render thread post a semaphore (async-signal-safe, no
// lock), so an idle engine leaves the tap thread asleep.

#include "AVAudioNode.h"

#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <memory>
#include <ctime>
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

    // Render thread, after queueing the last frame of a tap buffer: wakes the
    // tap thread if it sleeps, or, when `urgent`, in any case.
    void bufferReady(bool urgent) noexcept;
    // Wakes the tap thread, whatever it waits for.
    void post() noexcept;

    // Tap thread. After sleeping(), the render thread wakes the next wait():
    // the caller looks once more for a buffer completed before it could see.
    void sleeping() noexcept;
    void awake() noexcept { sleeping_.store(false, std::memory_order_relaxed); }
    void wait() noexcept;
    void waitUntil(const timespec& deadline) noexcept;  // CLOCK_MONOTONIC

private:
    sem_t semaphore_;
    // Until the tap thread first looks, a completed buffer wakes it.
    std::atomic<bool> sleeping_{true};
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

    // Tap thread: hands every full buffer to the block; whether there was one.
    bool deliver();
    // The length of one tap buffer.
    double bufferSeconds() const;
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
    const std::size_t queueFrames_;
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
    void run();

    std::shared_ptr<RenderGraph> graph_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace vlm::engine
