// Soak (with --soak-minutes=M only): one routing process kept for M minutes,
// the delay of both paths at its start and its end, and every minute its
// memory, threads, descriptors, CPU and the xruns PipeWire counts for the
// program's node, the virtual device and the driver (pw-top's ERR column).

#include "ProcessSampling.h"
#include "Session.h"
#include "Settings.h"
#include "Statistics.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace bench {

namespace {

// "name=errors" for the nodes of interest, read off pw-top's screen.
std::string xruns()
{
    const std::string screen = commandOutput(
        "TERM=xterm timeout 2 script -qfc 'stty cols 220 rows 60; pw-top' /dev/null 2>/dev/null"
        " | sed 's/\\x1b\\[[0-9;?]*[a-zA-Z]//g' | tr '\\r' '\\n'"
        " | grep -E 'velmora-studio-connect|VelmoraStudioConnect.Device|test-speakers' | tail -3"
        " | sed -E 's/.*(us|-) +([0-9.]+|---) +([0-9.]+|---) +([0-9]+).* ([^ ]+)$/\\5=\\4/'"
        " | sort -u | tr '\\n' ' '");
    return screen.empty() ? "(none read)" : screen;
}

// The median delay of `source`'s clicks over a few seconds.
double delayOf(Clicker& source)
{
    source.clicking = true;
    sleepSeconds(1.3);
    const std::int64_t from = monotonicNsec();
    sleepSeconds(4.0);
    const std::int64_t to = monotonicNsec();
    sleepSeconds(0.05);
    source.clicking = false;
    return median(delaysInFrames(source.emitted.snapshot(), clicksHeard(session().heard().snapshot(), from, to)));
}

} // namespace

void SoakBothPaths(benchmark::State& state)
{
    const auto quantum = std::uint32_t(state.range(0));
    if (!session().setQuantum(quantum)) {
        state.SkipWithError("the graph did not take the quantum");
        return;
    }
    for (auto _ : state) {
        Process p = session().startRouting(true, Path::application, false);
        if (p.pid <= 0) {
            state.SkipWithError("the router did not start");
            return;
        }
        const double musicAtStart = delayOf(session().application());
        const double microphoneAtStart = delayOf(session().microphone());
        const long rssAtStart = statusField(p.pid, "VmRSS");
        std::fprintf(stderr, "soak start: music %.0f frames, microphone %.0f frames\n", musicAtStart,
                     microphoneAtStart);
        for (int minute = 1; minute <= settings().soakMinutes; ++minute) {
            const ProcessSample before = sampleProcess(p.pid);
            sleepSeconds(60.0 - 2.0);
            std::fprintf(stderr, "soak minute %3d: rss %ld kB, threads %ld, descriptors %ld, cpu %.2f %%, xruns %s\n",
                         minute, statusField(p.pid, "VmRSS"), statusField(p.pid, "Threads"), descriptorCount(p.pid),
                         100 * use(before, sampleProcess(p.pid)).cpuShare, xruns().c_str());
        }
        const double musicAtEnd = delayOf(session().application());
        const double microphoneAtEnd = delayOf(session().microphone());
        std::fprintf(stderr, "soak end: music %.0f frames, microphone %.0f frames\n", musicAtEnd, microphoneAtEnd);
        state.counters["music_start"] = musicAtStart;
        state.counters["music_end"] = musicAtEnd;
        state.counters["mic_start"] = microphoneAtStart;
        state.counters["mic_end"] = microphoneAtEnd;
        state.counters["rss_start_kB"] = double(rssAtStart);
        state.counters["rss_end_kB"] = double(statusField(p.pid, "VmRSS"));
        session().endRouting(p, true);
    }
}

} // namespace bench
