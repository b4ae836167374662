#include "Dispatch.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

struct dispatch_queue_s {};

namespace {

// Jobs wait here behind a mutex, so every hand-off between threads is one a
// race checker can see. The main thread is woken through an eventfd watched
// by a QSocketNotifier: posting allocates no Qt event and takes no Qt lock,
// and one wake-up runs every job that is waiting.
class MainQueue {
public:
    MainQueue() : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void push(dispatch_block_t block)
    {
        bool wasEmpty;
        {
            std::lock_guard lock(mutex_);
            wasEmpty = jobs_.empty();
            jobs_.push_back(std::move(block));
        }
        pending_.fetch_add(1, std::memory_order_relaxed);
        if (wasEmpty)
            wake();
    }

    // On the main thread, when the application object is made: watch the
    // eventfd for this application. Jobs of an earlier application are
    // dropped with it, as Qt drops its posted events.
    void attach(QCoreApplication* app)
    {
        {
            std::lock_guard lock(mutex_);
            pending_.fetch_sub(jobs_.size(), std::memory_order_relaxed);
            jobs_.clear();
        }
        std::uint64_t ignored;
        while (read(wakeFd_, &ignored, sizeof ignored) < 0 && errno == EINTR) {}
        auto* notifier = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, app);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [this] { runWaiting(); });
    }

    std::size_t pending() const { return pending_.load(std::memory_order_relaxed); }

private:
    void wake()
    {
        const std::uint64_t one = 1;
        while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {}
    }

    // Runs the jobs waiting when it was woken; jobs they queue run on the next
    // wake-up, so other events of the loop are never starved by a job that
    // queues another.
    void runWaiting()
    {
        std::uint64_t ignored;
        while (read(wakeFd_, &ignored, sizeof ignored) < 0 && errno == EINTR) {}
        std::size_t count;
        {
            std::lock_guard lock(mutex_);
            count = jobs_.size();
        }
        for (; count > 0; --count) {
            dispatch_block_t job;
            {
                std::lock_guard lock(mutex_);
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            pending_.fetch_sub(1, std::memory_order_relaxed);
            job();
        }
        std::lock_guard lock(mutex_);
        if (!jobs_.empty())
            wake();
    }

    const int wakeFd_;
    std::mutex mutex_;
    std::deque<dispatch_block_t> jobs_;
    std::atomic<std::size_t> pending_{0};
};

MainQueue& mainQueue()
{
    static MainQueue queue;
    return queue;
}

void attachMainQueue() { mainQueue().attach(QCoreApplication::instance()); }

} // namespace

Q_COREAPP_STARTUP_FUNCTION(attachMainQueue)

dispatch_queue_t dispatch_get_main_queue()
{
    static dispatch_queue_s mainQueueObject;
    return &mainQueueObject;
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block)
{
    if (queue != dispatch_get_main_queue() || !block)
        return;
    // Without an application object there is no main queue: the job is dropped,
    // as it would be after the process's event loop has ended.
    if (!QCoreApplication::instance())
        return;
    mainQueue().push(std::move(block));
}

bool dispatch_is_main_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::size_t dispatch_main_queue_pending_jobs() { return mainQueue().pending(); }
