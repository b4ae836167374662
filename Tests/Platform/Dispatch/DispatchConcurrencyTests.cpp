// The main queue: jobs from any thread run on the main thread, each once, in
// the order each thread queued them, and the hand-off is visible to race
// checkers (this program also runs under ThreadSanitizer).

#include "Dispatch/Dispatch.h"
#include "Support/MainQueue.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

TEST(MainQueue, RunsEveryJobOnTheMainThreadInEachSendersOrder)
{
    constexpr int senders = 4;
    constexpr int jobsEach = 2000;
    std::array<std::vector<int>, senders> seen;  // touched only on the main thread
    int offMainThread = 0;
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s)
        threads.emplace_back([s, &seen, &offMainThread] {
            for (int i = 0; i < jobsEach; ++i)
                dispatch_async(dispatch_get_main_queue(), [s, i, &seen, &offMainThread] {
                    if (!dispatch_is_main_thread())
                        ++offMainThread;
                    seen[s].push_back(i);
                });
        });
    for (auto& thread : threads)
        thread.join();

    ASSERT_TRUE(runMainQueueUntil([&] { return dispatch_main_queue_pending_jobs() == 0; }));
    EXPECT_EQ(offMainThread, 0);
    for (const auto& jobs : seen) {
        ASSERT_EQ(jobs.size(), std::size_t{jobsEach});
        for (int i = 0; i < jobsEach; ++i)
            ASSERT_EQ(jobs[i], i);
    }
}

TEST(MainQueue, AJobQueuedByAJobRunsOnALaterPass)
{
    std::vector<int> order;
    dispatch_async(dispatch_get_main_queue(), [&order] {
        order.push_back(1);
        dispatch_async(dispatch_get_main_queue(), [&order] { order.push_back(3); });
    });
    dispatch_async(dispatch_get_main_queue(), [&order] { order.push_back(2); });
    drainMainQueue();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}
