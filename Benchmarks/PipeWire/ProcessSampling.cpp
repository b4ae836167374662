#include "ProcessSampling.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <time.h>

namespace bench {

std::int64_t monotonicNsec()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

namespace {

std::string firstLine(const std::filesystem::path& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

long field(const std::filesystem::path& status, const std::string& name)
{
    std::ifstream file(status);
    for (std::string line; std::getline(file, line);)
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
    return -1;
}

} // namespace

ProcessSample sampleProcess(pid_t pid)
{
    ProcessSample sample;
    sample.atNsec = monotonicNsec();
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        ProcessSample::Thread thread;
        thread.name = firstLine(task.path() / "comm");
        std::istringstream(firstLine(task.path() / "schedstat")) >> thread.runNsec;
        thread.wakeups = std::uint64_t(std::max(0L, field(task.path() / "status", "voluntary_ctxt_switches")));
        sample.threads[pid_t(std::stol(task.path().filename().string()))] = thread;
    }
    return sample;
}

ProcessUse use(const ProcessSample& from, const ProcessSample& to)
{
    ProcessUse result;
    const double seconds = double(to.atNsec - from.atNsec) * 1e-9;
    if (!from.valid() || !to.valid() || seconds <= 0)
        return result;
    double run = 0, wakeups = 0;
    for (const auto& [tid, thread] : to.threads) {
        const auto before = from.threads.find(tid);
        const ProcessSample::Thread start = before == from.threads.end() ? ProcessSample::Thread{} : before->second;
        const double threadRun = double(thread.runNsec - start.runNsec) * 1e-9 / seconds;
        const double threadWakeups = double(thread.wakeups - start.wakeups) / seconds;
        run += threadRun;
        wakeups += threadWakeups;
        result.cpuShareByThread[thread.name] += threadRun;
        result.wakeupsByThread[thread.name] += threadWakeups;
    }
    result.cpuShare = run;
    result.wakeupsPerSecond = wakeups;
    return result;
}

long statusField(pid_t pid, const char* name) { return field("/proc/" + std::to_string(pid) + "/status", name); }

long descriptorCount(pid_t pid)
{
    std::error_code error;
    long count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        ++count;
    return error ? -1 : count;
}

} // namespace bench
