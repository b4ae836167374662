#include "Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>
#include <deque>
#include <mutex>

struct dispatch_queue_s {};

namespace {

// Jobs wait here; Qt only wakes the main thread to run the oldest. The mutex
// makes the hand-off between threads explicit (and visible to race checkers,
// which cannot see inside Qt's own event queue).
struct MainQueue {
    std::mutex mutex;
    std::deque<dispatch_block_t> jobs;
    std::atomic<std::size_t> pending{0};

    void runOldest()
    {
        dispatch_block_t job;
        {
            std::lock_guard lock(mutex);
            if (jobs.empty())
                return;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        pending.fetch_sub(1, std::memory_order_relaxed);
        job();
    }
};

MainQueue& mainQueue()
{
    static MainQueue queue;
    return queue;
}

} // namespace

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
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    MainQueue& main = mainQueue();
    {
        std::lock_guard lock(main.mutex);
        main.jobs.push_back(std::move(block));
    }
    main.pending.fetch_add(1, std::memory_order_relaxed);
    QMetaObject::invokeMethod(app, [] { mainQueue().runOldest(); }, Qt::QueuedConnection);
}

bool dispatch_is_main_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::size_t dispatch_main_queue_pending_jobs() { return mainQueue().pending.load(std::memory_order_relaxed); }
