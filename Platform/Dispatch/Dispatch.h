#pragma once
// Grand Central Dispatch's main queue, run by the Qt event loop of the main
// thread. Jobs queued from any thread run there in order.

#include <cstddef>
#include <functional>

struct dispatch_queue_s;
using dispatch_queue_t = dispatch_queue_s*;
using dispatch_block_t = std::function<void()>;

dispatch_queue_t dispatch_get_main_queue();
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);

// Jobs queued on the main queue that have not run yet (for tests that must
// know a job is waiting without running it).
std::size_t dispatch_main_queue_pending_jobs();

// True on the thread that runs the main queue (the QCoreApplication's thread).
bool dispatch_is_main_thread();
