#pragma once
// Grand Central Dispatch's main queue, run by the Qt event loop of the main
// thread. Jobs queued from any thread run there in order.

#include <functional>

struct dispatch_queue_s;
using dispatch_queue_t = dispatch_queue_s*;
using dispatch_block_t = std::function<void()>;

dispatch_queue_t dispatch_get_main_queue();
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);

// True on the thread that runs the main queue (the QCoreApplication's thread).
bool dispatch_is_main_thread();
