#include "MainQueue.h"

#include "Dispatch/Dispatch.h"

#include <QCoreApplication>
#include <QEventLoop>

bool runMainQueueUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

void drainMainQueue()
{
    // A pass runs the jobs waiting when it began; jobs they queue need another.
    // Bounded, as audio threads may keep queueing while a graph runs.
    for (int pass = 0; pass < 100; ++pass) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (dispatch_main_queue_pending_jobs() == 0)
            break;
    }
}
