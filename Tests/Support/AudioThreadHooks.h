#pragma once
// Counts allocations and mutex locks made on the simulated audio system's IO
// threads (and on any thread, for itself), through replaced operator new, malloc and pthread_mutex_lock. Link
// it into a program of its own: it replaces them for the whole binary.
// Under a sanitizer, which owns malloc (and, for ThreadSanitizer, the mutex
// entry point), only operator new (and locks under AddressSanitizer) are counted.

#include <cstdint>

struct AudioThreadCounts {
    std::uint64_t allocations = 0;
    std::uint64_t locks = 0;
};

// Counting runs between these calls; the counts cover every audio IO thread.
void startCountingOnAudioThreads();
AudioThreadCounts stopCountingOnAudioThreads();
// The engine's tap thread over the same stretch (after the stop).
AudioThreadCounts countedOnTapThread();

// Everything the calling thread has allocated and locked since it began.
AudioThreadCounts countsOnThisThread();
