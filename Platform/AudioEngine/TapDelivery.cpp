#include "TapDelivery.h"

#include "RenderGraph.h"

#include <algorithm>
#include <cerrno>
#include <pthread.h>

namespace vlm::engine {

TapWakeup::TapWakeup() { sem_init(&semaphore_, 0, 0); }
TapWakeup::~TapWakeup() { sem_destroy(&semaphore_); }

void TapWakeup::signal() noexcept
{
    // A wake-up already pending is enough; this keeps the count from growing
    // while the tap thread is busy.
    int pending = 0;
    if (sem_getvalue(&semaphore_, &pending) == 0 && pending > 0)
        return;
    sem_post(&semaphore_);
}

void TapWakeup::wait() noexcept
{
    while (sem_wait(&semaphore_) != 0 && errno == EINTR) {
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
      buffer_(std::make_shared<AVAudioPCMBuffer>(format_, bufferSize))
{
    for (std::uint32_t c = 0; c < channels_; ++c)
        queues_.push_back(
            std::make_unique<boost::lockfree::spsc_queue<float>>(queueFrames(bufferSize, maximumPushFrames)));
}

void TapChannel::push(const float* const* channels, std::uint32_t frames) noexcept
{
    const AVAudioFramePosition renderedBefore = rendered_;
    rendered_ += frames;
    if (paused_.load(std::memory_order_relaxed)) {
        broken_ = true;
        return;
    }
    // The tap thread only ever adds room, so room seen here stays.
    for (const auto& queue : queues_) {
        if (queue->write_available() < frames) {
            dropped_.fetch_add(frames, std::memory_order_relaxed);
            broken_ = true;
            return;
        }
    }
    if (broken_) {
        // Queued before the frames it marks, so the tap thread that sees them sees it.
        if (!resumptions_.push({queued_, renderedBefore}))
            return;  // marks the tap thread has not read yet fill the queue: still a gap
        broken_ = false;
        queuedSinceBuffer_ = 0;
    }
    for (std::uint32_t c = 0; c < channels_; ++c)
        queues_[c]->push(channels[c], frames);
    queued_ += frames;

    // Wake the tap thread only when it has a buffer to deliver, not every pass.
    queuedSinceBuffer_ += frames;
    if (queuedSinceBuffer_ >= bufferSize_) {
        queuedSinceBuffer_ %= bufferSize_;
        wakeup_.signal();
    }
}

void TapChannel::discard(std::size_t frames)
{
    // The buffer is only scratch here: what it held goes too.
    float* const* scratch = buffer_->floatChannelData();
    while (frames > 0) {
        const std::size_t now = std::min<std::size_t>(frames, bufferSize_);
        for (std::uint32_t c = 0; c < channels_; ++c)
            queues_[c]->pop(scratch[c], now);
        taken_ += now;
        frames -= now;
    }
    buffer_->setFrameLength(0);
}

void TapChannel::deliver()
{
    for (;;) {
        // The last channel is queued last: what it holds, every channel holds.
        // Read before the marks: a mark queued after this read comes after these frames.
        const std::size_t available = queues_.back()->read_available();
        if (resumptions_.read_available() > 0) {
            const Resumption& resumption = resumptions_.front();
            if (const std::uint64_t before = resumption.queuedBefore - taken_; before > 0) {
                discard(std::min<std::uint64_t>(before, available));
                continue;
            }
            buffer_->setFrameLength(0);
            bufferTime_ = resumption.sampleTime;
            resumptions_.pop();
            continue;
        }
        const AVAudioFrameCount filled = buffer_->frameLength();
        const auto frames = AVAudioFrameCount(std::min<std::size_t>(available, bufferSize_ - filled));
        if (frames == 0)
            return;
        float* const* data = buffer_->floatChannelData();
        for (std::uint32_t c = 0; c < channels_; ++c)
            queues_[c]->pop(data[c] + filled, frames);
        taken_ += frames;
        buffer_->setFrameLength(filled + frames);
        if (buffer_->frameLength() < bufferSize_)
            continue;

        const AVAudioTime when{bufferTime_, format_->sampleRate()};
        bufferTime_ += bufferSize_;
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
    resumptions_.reset();
    queuedSinceBuffer_ = 0;
    queued_ = 0;
    rendered_ = 0;
    broken_ = false;
    buffer_->setFrameLength(0);
    taken_ = 0;
    bufferTime_ = 0;
    dropped_.store(0, std::memory_order_relaxed);
}

TapDelivery::TapDelivery(std::shared_ptr<RenderGraph> graph) : graph_(std::move(graph))
{
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "vlm-engine-taps");
        for (;;) {
            graph_->tapWakeup().wait();
            if (stopping_.load(std::memory_order_acquire))
                return;
            graph_->deliverTaps();
        }
    });
}

TapDelivery::~TapDelivery()
{
    stopping_.store(true, std::memory_order_release);
    // signal() skips the post when one is pending; either way the thread wakes.
    graph_->tapWakeup().signal();
    thread_.join();
}

} // namespace vlm::engine
