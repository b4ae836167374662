#pragma once
// Counts allocations and blocking calls made on the audio IO threads (named
// kAudioHardwareIOThreadName) and on any thread, for itself, through replaced
// operator new and malloc, every pthread lock, try-lock, condition wait,
// spin lock and semaphore wait, and stdio writes (not sleeps: the simulated
// system's IO threads keep time by sleeping between cycles). Link it into a
// program of its own: it replaces them for the whole binary. Under a
// sanitizer, which owns malloc (and, for ThreadSanitizer, the pthread entry
// points), only operator new (and the blocking calls under AddressSanitizer)
// are counted.

#include <cstdint>

struct AudioThreadCounts {
    std::uint64_t allocations = 0;
    std::uint64_t locks = 0;  // locks, try-locks and waits
    std::uint64_t stdio = 0;
};

// Counting runs between these calls; the counts cover every audio IO thread.
void startCountingOnAudioThreads();
AudioThreadCounts stopCountingOnAudioThreads();
// The engine's tap thread over the same stretch (after the stop).
AudioThreadCounts countedOnTapThread();

// Everything the calling thread has allocated and locked since it began.
AudioThreadCounts countsOnThisThread();

// Whether the calling thread is an audio IO thread; allocates nothing.
bool onAudioThread();
