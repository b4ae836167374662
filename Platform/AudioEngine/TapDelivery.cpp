#include "TapDelivery.h"

#include "RenderGraph.h"

#include <algorithm>
#include <cerrno>
#include <pthread.h>

namespace vlm::engine {

TapWakeup::TapWakeup() { sem_init(&semaphore_, 0, 0); }
TapWakeup::~TapWakeup() { sem_destroy(&semaphore_); }

void TapWakeup::post() noexcept
{
    // A wake-up already pending is enough; this keeps the count from growing
    // while the tap thread is busy.
    int pending = 0;
    if (sem_getvalue(&semaphore_, &pending) == 0 && pending > 0)
        return;
    sem_post(&semaphore_);
}

// The fences pair with sleeping()'s: either this thread sees the tap thread
// asleep, or the tap thread, looking once more, sees the frames just queued.
void TapWakeup::bufferReady(bool urgent) noexcept
{
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (urgent || (sleeping_.load(std::memory_order_relaxed) && sleeping_.exchange(false)))
        post();
}

void TapWakeup::sleeping() noexcept
{
    sleeping_.store(true, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void TapWakeup::wait() noexcept
{
    while (sem_wait(&semaphore_) != 0 && errno == EINTR) {
    }
}

void TapWakeup::waitUntil(const timespec& deadline) noexcept
{
    while (sem_clockwait(&semaphore_, CLOCK_MONOTONIC, &deadline) != 0 && errno == EINTR) {
    }
}

namespace {

// Room for several buffers and passes: the tap thread may be descheduled for a
// while without the render thread dropping anything.
std::size_t queueFrames(AVAudioFrameCount bufferSize, std::uint32_t maximumPushFrames)
{
    return std::size_t(std::max(bufferSize, maximumPushFrames)) * 8;
}

} // namespace

TapChannel::TapChannel(std::shared_ptr<AVAudioFormat> format, AVAudioFrameCount bufferSize, AVAudioNodeTapBlock block,
                       std::uint32_t maximumPushFrames, TapWakeup& wakeup)
    : format_(std::move(format)),
      channels_(format_->channelCount()),
      bufferSize_(bufferSize),
      block_(std::move(block)),
      wakeup_(wakeup),
      queueFrames_(queueFrames(bufferSize, maximumPushFrames)),
      buffer_(std::make_shared<AVAudioPCMBuffer>(format_, bufferSize))
{
    for (std::uint32_t c = 0; c < channels_; ++c)
        queues_.push_back(std::make_unique<boost::lockfree::spsc_queue<float>>(queueFrames_));
}

double TapChannel::bufferSeconds() const { return double(bufferSize_) / format_->sampleRate(); }

void TapChannel::push(const float* const* channels, std::uint32_t frames) noexcept
{
    // The tap thread only ever adds room, so room seen here stays.
    for (const auto& queue : queues_) {
        if (queue->write_available() < frames) {
            dropped_.fetch_add(frames, std::memory_order_relaxed);
            return;
        }
    }
    for (std::uint32_t c = 0; c < channels_; ++c)
        queues_[c]->push(channels[c], frames);

    // Told only when a buffer is complete, not every pass.
    queuedSinceBuffer_ += frames;
    if (queuedSinceBuffer_ >= bufferSize_) {
        queuedSinceBuffer_ %= bufferSize_;
        // Half full: the tap thread's timer is too slow for this producer
        // (rendering faster than real time), so it is woken at once.
        wakeup_.bufferReady(queues_.back()->write_available() < queueFrames_ / 2);
    }
}

bool TapChannel::deliver()
{
    bool delivered = false;
    for (;;) {
        const AVAudioFrameCount filled = buffer_->frameLength();
        // The last channel is queued last: what it holds, every channel holds.
        const auto frames = AVAudioFrameCount(
            std::min<std::size_t>(queues_.back()->read_available(), bufferSize_ - filled));
        if (frames == 0)
            return delivered;
        float* const* data = buffer_->floatChannelData();
        for (std::uint32_t c = 0; c < channels_; ++c)
            queues_[c]->pop(data[c] + filled, frames);
        buffer_->setFrameLength(filled + frames);
        if (buffer_->frameLength() < bufferSize_)
            continue;

        const AVAudioTime when{deliveredFrames_, format_->sampleRate()};
        deliveredFrames_ += bufferSize_;
        delivered = true;
        try {
            block_(buffer_, when);
        } catch (...) {
            // A tap block's failure is its own; the tap thread keeps serving the others.
        }
        if (buffer_.use_count() == 1)
            buffer_->setFrameLength(0);
        else
            buffer_ = std::make_shared<AVAudioPCMBuffer>(format_, bufferSize_);  // the block kept it
    }
}

void TapChannel::reset()
{
    for (auto& queue : queues_)
        queue->reset();
    queuedSinceBuffer_ = 0;
    buffer_->setFrameLength(0);
    deliveredFrames_ = 0;
    dropped_.store(0, std::memory_order_relaxed);
}

TapDelivery::TapDelivery(std::shared_ptr<RenderGraph> graph) : graph_(std::move(graph))
{
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "vlm-engine-taps");
        run();
    });
}

TapDelivery::~TapDelivery()
{
    stopping_.store(true, std::memory_order_release);
    // post() skips the post when one is pending; either way the thread wakes.
    graph_->tapWakeup().post();
    thread_.join();
}

namespace {

timespec later(timespec t, long nsec)
{
    t.tv_nsec += nsec;
    t.tv_sec += t.tv_nsec / 1'000'000'000;
    t.tv_nsec %= 1'000'000'000;
    return t;
}

bool before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A look that finds nothing may just come before a buffer's last pass; two
// in a row mean the buffers have stopped (or come in longer passes).
constexpr int kEmptyLooksBeforeSleeping = 2;

} // namespace

// Looks once per tap buffer, from when the render thread first woke it, while
// buffers come; sleeps until woken when they stop.
void TapDelivery::run()
{
    TapWakeup& wakeup = graph_->tapWakeup();
    const long period = std::max(1L, long(graph_->tapBufferSeconds() * 1e9));
    timespec next{};
    int emptyLooks = kEmptyLooksBeforeSleeping;
    for (;;) {
        if (emptyLooks >= kEmptyLooksBeforeSleeping) {
            wakeup.sleeping();
            if (!graph_->deliverTaps())
                wakeup.wait();
            wakeup.awake();
            emptyLooks = 0;
            clock_gettime(CLOCK_MONOTONIC, &next);
        } else {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            next = later(next, period);
            if (before(next, now))  // late: look now, and one period on from here
                next = now;
            wakeup.waitUntil(next);
        }
        if (stopping_.load(std::memory_order_acquire))
            return;
        emptyLooks = graph_->deliverTaps() ? 0 : emptyLooks + 1;
    }
}

} // namespace vlm::engine
