#include "AudioThreadHooks.h"

#include "SimulatedAudioSystem.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <pthread.h>
#include <sys/prctl.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VLM_HOOK_MALLOC 0
#else
#define VLM_HOOK_MALLOC 1
#endif
#if defined(__SANITIZE_THREAD__)
#define VLM_HOOK_LOCKS 0
#else
#define VLM_HOOK_LOCKS 1
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> locks{0};
std::atomic<std::uint64_t> tapAllocations{0};
std::atomic<std::uint64_t> tapLocks{0};
// Trivial, so the thread-local needs no constructor call (which could allocate).
thread_local AudioThreadCounts threadCounts;

// The name the engine gives its tap thread.
constexpr const char* tapThreadName = "vlm-engine-taps";

// The counter for this thread, if it is counted: asks the kernel for the
// thread's name each time, since threads are named after they start and a
// cached answer could be stale. Allocates nothing.
std::atomic<std::uint64_t>* counterOfThisThread(std::atomic<std::uint64_t>& audio, std::atomic<std::uint64_t>& tap)
{
    if (!counting.load(std::memory_order_relaxed))
        return nullptr;
    char name[16] = {};
    if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0)
        return nullptr;
    if (std::strncmp(name, SimulatedAudioSystem::ioThreadName, sizeof name) == 0)
        return &audio;
    if (std::strncmp(name, tapThreadName, sizeof name) == 0)
        return &tap;
    return nullptr;
}

void noteAllocation()
{
    ++threadCounts.allocations;
    if (auto* counter = counterOfThisThread(allocations, tapAllocations))
        counter->fetch_add(1, std::memory_order_relaxed);
}

} // namespace

#if VLM_HOOK_MALLOC
extern "C" void* __libc_malloc(std::size_t);
// operator new goes around the malloc hook, so an allocation counts once.
#define VLM_RAW_MALLOC __libc_malloc
#else
#define VLM_RAW_MALLOC std::malloc
#endif

void startCountingOnAudioThreads()
{
    allocations = 0;
    locks = 0;
    tapAllocations = 0;
    tapLocks = 0;
    counting = true;
}

AudioThreadCounts stopCountingOnAudioThreads()
{
    counting = false;
    return {allocations.load(), locks.load()};
}

AudioThreadCounts countedOnTapThread() { return {tapAllocations.load(), tapLocks.load()}; }

AudioThreadCounts countsOnThisThread() { return threadCounts; }

void* operator new(std::size_t size)
{
    noteAllocation();
    if (void* p = VLM_RAW_MALLOC(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    noteAllocation();
    return VLM_RAW_MALLOC(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

#if VLM_HOOK_MALLOC
extern "C" {
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t size)
{
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size)
{
    noteAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size)
{
    noteAllocation();
    return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    noteAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
    noteAllocation();
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}
}
#endif

#if VLM_HOOK_LOCKS
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    using Lock = int (*)(pthread_mutex_t*);
    static const Lock real = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    ++threadCounts.locks;
    if (auto* counter = counterOfThisThread(locks, tapLocks))
        counter->fetch_add(1, std::memory_order_relaxed);
    return real(mutex);
}
#endif
