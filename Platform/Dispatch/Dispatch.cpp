#include "Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>

struct dispatch_queue_s {};

namespace {
std::atomic<std::size_t> pendingMainQueueJobs{0};
}

dispatch_queue_t dispatch_get_main_queue()
{
    static dispatch_queue_s mainQueue;
    return &mainQueue;
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block)
{
    if (queue != dispatch_get_main_queue() || !block)
        return;
    // Without an application object there is no main queue: the job is dropped,
    // as it would be after the process's event loop has ended.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        pendingMainQueueJobs.fetch_add(1, std::memory_order_relaxed);
        QMetaObject::invokeMethod(
            app,
            [block = std::move(block)] {
                pendingMainQueueJobs.fetch_sub(1, std::memory_order_relaxed);
                block();
            },
            Qt::QueuedConnection);
    }
}

bool dispatch_is_main_thread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::size_t dispatch_main_queue_pending_jobs() { return pendingMainQueueJobs.load(std::memory_order_relaxed); }
