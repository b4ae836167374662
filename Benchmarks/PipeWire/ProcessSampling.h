#pragma once
// What a process costs, read from /proc: the CPU time of each of its threads
// (schedstat: time on a CPU, in nanoseconds) and how often each woke up
// (voluntary context switches: each is a sleep, ended by a wake-up), plus its
// memory, threads and descriptors for the soak.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// CLOCK_MONOTONIC, the clock of spa_io_position's clock.nsec.
std::int64_t monotonicNsec();

struct ProcessSample {
    struct Thread {
        std::string name;
        std::uint64_t runNsec = 0;
        std::uint64_t wakeups = 0;
    };
    std::int64_t atNsec = 0;
    std::map<pid_t, Thread> threads;  // by thread id
    bool valid() const { return !threads.empty(); }
};

ProcessSample sampleProcess(pid_t pid);

// Between two samples of one process, each a share of one core and per second.
struct ProcessUse {
    double cpuShare = -1;
    double wakeupsPerSecond = -1;
    // By thread name (threads of one name summed), threads alive in both samples.
    std::map<std::string, double> cpuShareByThread;
    std::map<std::string, double> wakeupsByThread;
};
ProcessUse use(const ProcessSample& from, const ProcessSample& to);

// A field of /proc/PID/status ("VmRSS", "Threads"), -1 when unknown.
long statusField(pid_t pid, const char* field);
long descriptorCount(pid_t pid);

} // namespace bench
