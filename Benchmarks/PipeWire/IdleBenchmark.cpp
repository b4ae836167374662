// What an idle program costs: the program with its window closed and nobody
// recording the virtual device (the session's recorder ended). Over a window:
// its CPU and wake-ups per second by thread, and the states of its node and
// of the microphone. Then a recorder links to the device: the time from its
// first cycle (the link just made) to its first sound, and from when this
// client saw the link. Both sources play a steady square wave meanwhile.
//
//   IdleWake/<quantum>

#include "ProcessSampling.h"
#include "Session.h"
#include "Settings.h"
#include "Statistics.h"
#include "VLMVirtualOutputDevice.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {
namespace {

constexpr const char* kLateRecorder = "vlm-bench-late-recorder";

struct FirstSound {
    std::atomic<std::int64_t> firstCycle{0};
    std::atomic<std::int64_t> sound{0};

    void listen(const float* in, std::uint32_t frames, std::int64_t cycleNsec)
    {
        if (firstCycle.load(std::memory_order_relaxed) == 0)
            firstCycle.store(cycleNsec, std::memory_order_relaxed);
        if (sound.load(std::memory_order_relaxed) != 0)
            return;
        for (std::uint32_t i = 0; i < frames; ++i)
            if (std::abs(in[2 * i]) > 0.01f) {
                sound.store(cycleNsec + std::int64_t(double(i) * 1e9 / kRate), std::memory_order_release);
                return;
            }
    }
};

std::string nodeState(const std::string& name)
{
    std::string state;
    session().mirror().waitFor([&](const PipeWireClient::GraphMirror& g) {
        state = g.nodeState(name);
        return true;
    });
    return state.empty() ? "?" : state;
}

void IdleWake(benchmark::State& state)
{
    const auto quantum = std::uint32_t(state.range(0));
    if (!session().setQuantum(quantum)) {
        state.SkipWithError("the graph did not take the quantum");
        return;
    }
    session().application().hum = 0.25f;
    session().microphone().hum = 0.25f;
    std::vector<double> cpu, wakeups, fromCycle, fromLink;
    for (auto _ : state) {
        for (int r = 0; r < settings().rounds; ++r) {
            Process p = session().startRouting(true, Path::application, false, Window::closed);
            if (p.pid <= 0)
                continue;
            session().setRecording(false);
            sleepSeconds(settings().settle);
            const ProcessSample from = sampleProcess(p.pid);
            sleepSeconds(settings().measure);
            const ProcessUse idle = use(from, sampleProcess(p.pid));
            const std::string programState = nodeState("velmora-studio-connect");
            const std::string microphoneState = nodeState("vlm-bench-microphone");

            FirstSound first;
            const std::string device = VLMVirtualOutputDevice::deviceUID;
            double sinceCycle = NAN, sinceLink = NAN;
            {
                PipeWireClient::CaptureStream late(device, false, kLateRecorder,
                                                   [&first](const float* in, std::uint32_t frames, std::int64_t nsec) {
                                                       first.listen(in, frames, nsec);
                                                   });
                session().mirror().waitFor([&](const PipeWireClient::GraphMirror& g) {
                    const auto linked = g.nodesLinkedFrom(device);
                    return std::find(linked.begin(), linked.end(), kLateRecorder) != linked.end();
                });
                const std::int64_t linkSeen = monotonicNsec();
                if (pollUntil([&] { return first.sound.load() != 0; }, 5.0)) {
                    sinceCycle = double(first.sound.load() - first.firstCycle.load()) * 1e-6;
                    sinceLink = double(first.sound.load() - linkSeen) * 1e-6;
                }
            }
            std::fprintf(stderr,
                         "IdleWake/%u round %d: program %.3f %% of a core, %.1f wake-ups/s (node %s, microphone %s); "
                         "recorder's first sound %.1f ms after its first cycle, %.1f ms after the link was seen\n",
                         quantum, r + 1, 100 * idle.cpuShare, idle.wakeupsPerSecond, programState.c_str(),
                         microphoneState.c_str(), sinceCycle, sinceLink);
            for (const auto& [name, rate] : idle.wakeupsByThread)
                if (rate > 0)
                    std::fprintf(stderr, "IdleWake/%u round %d:   %-16s %.1f wake-ups/s, %.3f %%\n", quantum, r + 1,
                                 name.c_str(), rate, 100 * idle.cpuShareByThread.at(name));
            if (idle.cpuShare >= 0) {
                cpu.push_back(idle.cpuShare);
                wakeups.push_back(idle.wakeupsPerSecond);
            }
            if (!std::isnan(sinceCycle)) {
                fromCycle.push_back(sinceCycle);
                fromLink.push_back(sinceLink);
            }
            session().endRouting(p, true);
            session().setRecording(true);
            sleepSeconds(1.0);  // the session manager links the recorder again
        }
    }
    session().application().hum = 0.0f;
    session().microphone().hum = 0.0f;
    state.counters["quantum"] = quantum;
    state.counters["idle_cpu_med"] = 100 * median(cpu);
    state.counters["idle_wakeups_s"] = median(wakeups);
    state.counters["sound_after_cycle_ms"] = median(fromCycle);
    state.counters["sound_after_cycle_ms_max"] = spread(fromCycle).max;
    state.counters["sound_after_link_ms"] = median(fromLink);
}

BENCHMARK(IdleWake)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
} // namespace bench
