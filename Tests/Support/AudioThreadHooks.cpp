#include "AudioThreadHooks.h"

#include "SimulatedAudioSystem.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include <sys/prctl.h>
#include <unistd.h>

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
std::atomic<std::uint64_t> stdioCalls{0};
std::atomic<std::uint64_t> tapAllocations{0};
std::atomic<std::uint64_t> tapLocks{0};
// Trivial, so the thread-local needs no constructor call (which could allocate).
thread_local AudioThreadCounts threadCounts;

// The name the engine gives its tap thread.
constexpr const char* tapThreadName = "vlm-engine-taps";

// The thread's name, asked of the kernel each time: threads are named after
// they start, so a cached answer could be stale. Allocates nothing.
bool threadNamed(const char* wanted)
{
    char name[16] = {};
    if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0)
        return false;
    return std::strncmp(name, wanted, sizeof name) == 0;
}

// Adds one to `audio` on an audio IO thread, to `tap` on the tap thread.
void note(std::atomic<std::uint64_t>& audio, std::atomic<std::uint64_t>* tap)
{
    if (!counting.load(std::memory_order_relaxed))
        return;
    if (onAudioThread())
        audio.fetch_add(1, std::memory_order_relaxed);
    else if (tap && threadNamed(tapThreadName))
        tap->fetch_add(1, std::memory_order_relaxed);
}

void noteAllocation()
{
    ++threadCounts.allocations;
    note(allocations, &tapAllocations);
}

[[maybe_unused]] void noteBlocking()
{
    ++threadCounts.locks;
    note(locks, &tapLocks);
}

// A wait for work: blocking on an audio thread, but how the tap thread
// sleeps until the next buffer, so not one of its locks.
[[maybe_unused]] void noteWait()
{
    ++threadCounts.locks;
    note(locks, nullptr);
}

[[maybe_unused]] void noteStdio()
{
    ++threadCounts.stdio;
    note(stdioCalls, nullptr);
}

} // namespace

bool onAudioThread() { return threadNamed(SimulatedAudioSystem::ioThreadName); }

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
    stdioCalls = 0;
    tapAllocations = 0;
    tapLocks = 0;
    counting = true;
}

AudioThreadCounts stopCountingOnAudioThreads()
{
    counting = false;
    return {allocations.load(), locks.load(), stdioCalls.load()};
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
// Each replaced entry point counts, then calls the next definition: found at
// load, as a first lookup on an audio thread would allocate, or at the first
// call when that comes before (from another library's start-up).
namespace {

template <typename F>
F next(const char* name, const char* version = nullptr)
{
    void* found = version ? dlvsym(RTLD_NEXT, name, version) : nullptr;
    return reinterpret_cast<F>(found ? found : dlsym(RTLD_NEXT, name));
}

#define VLM_ENTRY_POINTS(X)                                                                                           \
    X(pthread_mutex_lock, nullptr)                                                                                    \
    X(pthread_mutex_trylock, nullptr)                                                                                 \
    X(pthread_mutex_timedlock, nullptr)                                                                               \
    X(pthread_rwlock_rdlock, nullptr)                                                                                 \
    X(pthread_rwlock_wrlock, nullptr)                                                                                 \
    X(pthread_rwlock_tryrdlock, nullptr)                                                                              \
    X(pthread_rwlock_trywrlock, nullptr)                                                                              \
    X(pthread_rwlock_timedrdlock, nullptr)                                                                            \
    X(pthread_rwlock_timedwrlock, nullptr)                                                                            \
    X(pthread_cond_wait, "GLIBC_2.3.2")                                                                               \
    X(pthread_cond_timedwait, "GLIBC_2.3.2")                                                                          \
    X(pthread_cond_clockwait, nullptr)                                                                                \
    X(pthread_spin_lock, nullptr)                                                                                     \
    X(pthread_spin_trylock, nullptr)                                                                                  \
    X(sem_wait, nullptr)                                                                                              \
    X(sem_timedwait, nullptr)                                                                                         \
    X(sem_trywait, nullptr)                                                                                           \
    X(fwrite, nullptr)                                                                                                \
    X(fputs, nullptr)                                                                                                 \
    X(puts, nullptr)                                                                                                  \
    X(fputc, nullptr)                                                                                                 \
    X(putc, nullptr)                                                                                                  \
    X(fflush, nullptr)                                                                                                \
    X(vfprintf, nullptr)

#define VLM_DECLARE(name, version)                                                                                    \
    decltype(&::name) real_##name = nullptr;                                                                          \
    decltype(&::name) find_##name()                                                                                   \
    {                                                                                                                 \
        if (!real_##name)                                                                                             \
            real_##name = next<decltype(&::name)>(#name, version);                                                    \
        return real_##name;                                                                                           \
    }
VLM_ENTRY_POINTS(VLM_DECLARE)
#undef VLM_DECLARE

[[maybe_unused]] const bool resolvedAtLoad = [] {
#define VLM_FIND(name, version) find_##name();
    VLM_ENTRY_POINTS(VLM_FIND)
#undef VLM_FIND
    return true;
}();

} // namespace

extern "C" {
#define VLM_COUNTED(note, ret, name, params, args)                                                                     \
    ret name params                                                                                                   \
    {                                                                                                                 \
        note();                                                                                                       \
        return find_##name() args;                                                                                    \
    }
#define VLM_BLOCKING(ret, name, params, args) VLM_COUNTED(noteBlocking, ret, name, params, args)
#define VLM_WAIT(ret, name, params, args) VLM_COUNTED(noteWait, ret, name, params, args)
VLM_BLOCKING(int, pthread_mutex_lock, (pthread_mutex_t * m), (m))
VLM_BLOCKING(int, pthread_mutex_trylock, (pthread_mutex_t * m), (m))
VLM_BLOCKING(int, pthread_mutex_timedlock, (pthread_mutex_t * m, const timespec* t), (m, t))
VLM_BLOCKING(int, pthread_rwlock_rdlock, (pthread_rwlock_t * l), (l))
VLM_BLOCKING(int, pthread_rwlock_wrlock, (pthread_rwlock_t * l), (l))
VLM_BLOCKING(int, pthread_rwlock_tryrdlock, (pthread_rwlock_t * l), (l))
VLM_BLOCKING(int, pthread_rwlock_trywrlock, (pthread_rwlock_t * l), (l))
VLM_BLOCKING(int, pthread_rwlock_timedrdlock, (pthread_rwlock_t * l, const timespec* t), (l, t))
VLM_BLOCKING(int, pthread_rwlock_timedwrlock, (pthread_rwlock_t * l, const timespec* t), (l, t))
VLM_WAIT(int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m))
VLM_WAIT(int, pthread_cond_timedwait, (pthread_cond_t * c, pthread_mutex_t* m, const timespec* t), (c, m, t))
VLM_WAIT(int, pthread_cond_clockwait, (pthread_cond_t * c, pthread_mutex_t* m, clockid_t k, const timespec* t),
             (c, m, k, t))
VLM_BLOCKING(int, pthread_spin_lock, (pthread_spinlock_t * l), (l))
VLM_BLOCKING(int, pthread_spin_trylock, (pthread_spinlock_t * l), (l))
VLM_WAIT(int, sem_wait, (sem_t * s), (s))
VLM_WAIT(int, sem_timedwait, (sem_t * s, const timespec* t), (s, t))
VLM_BLOCKING(int, sem_trywait, (sem_t * s), (s))
#undef VLM_BLOCKING
#undef VLM_WAIT

#define VLM_STDIO(ret, name, params, args) VLM_COUNTED(noteStdio, ret, name, params, args)
VLM_STDIO(std::size_t, fwrite, (const void* p, std::size_t s, std::size_t n, FILE* f), (p, s, n, f))
VLM_STDIO(int, fputs, (const char* s, FILE* f), (s, f))
VLM_STDIO(int, puts, (const char* s), (s))
VLM_STDIO(int, fputc, (int c, FILE* f), (c, f))
VLM_STDIO(int, putc, (int c, FILE* f), (c, f))
VLM_STDIO(int, fflush, (FILE * f), (f))
VLM_STDIO(int, vfprintf, (FILE * f, const char* format, va_list a), (f, format, a))
#undef VLM_STDIO
#undef VLM_COUNTED

int fprintf(FILE* f, const char* format, ...)
{
    va_list a;
    va_start(a, format);
    const int n = vfprintf(f, format, a);
    va_end(a);
    return n;
}
int printf(const char* format, ...)
{
    va_list a;
    va_start(a, format);
    const int n = vfprintf(stdout, format, a);
    va_end(a);
    return n;
}
int vprintf(const char* format, va_list a) { return vfprintf(stdout, format, a); }
}
#endif
