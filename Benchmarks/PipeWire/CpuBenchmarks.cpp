// CPU while routing, the process's own (every thread, from
// /proc/PID/task/*/schedstat) and the server's beside it, against a
// pw-loopback process carrying the same streams in the same run: a music
// application and a microphone, both clicking, into the loopback's capture
// side, its playback side linked to the virtual device, which the voice-chat
// recorder records. Rounds alternate the reference and the program (which
// goes first alternates too); each round starts a fresh process, lets it
// settle, then measures a window. Reported as medians with min and max over
// the rounds, the ratio of the medians, the program's wake-ups per second and
// its CPU by thread. With the window shown each round also measures a frame
// clock alone (FrameClockProcess.cpp) at the meters' fastest rate: what a Qt
// main thread woken that often costs before it draws anything.
//
//   RoutingCPU/<quantum>/1   the program's window shown (offscreen platform)
//   RoutingCPU/<quantum>/2   the window shown, then closed to the status item

#include "ProcessSampling.h"
#include "Session.h"
#include "Settings.h"
#include "Statistics.h"
#include "VLMAudioRouter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace bench {
namespace {

struct Round {
    ProcessUse process;
    ProcessUse server;
    bool valid() const { return process.cpuShare >= 0 && server.cpuShare >= 0; }
};

Round measureRound(bool program, Window window)
{
    Process p = session().startRouting(program, Path::application, false, window);
    Round round;
    if (p.pid > 0) {
        sleepSeconds(settings().settle);
        const pid_t server = session().serverPID();
        const ProcessSample processFrom = sampleProcess(p.pid), serverFrom = sampleProcess(server);
        sleepSeconds(settings().measure);
        round.process = use(processFrom, sampleProcess(p.pid));
        round.server = use(serverFrom, sampleProcess(server));
    }
    session().endRouting(p, program);
    return round;
}

// CPU of a frame clock alone, ticking as the meters' clock does at 48 kHz.
double measureFrameClock()
{
    Process p = spawnFrameClock(int(1000.0 * VLMAudioRouter::meterTapFrames / 48000.0));
    double share = -1;
    if (routerSaysReady(p, 10)) {
        sleepSeconds(settings().settle);
        const ProcessSample from = sampleProcess(p.pid);
        sleepSeconds(settings().measure);
        share = use(from, sampleProcess(p.pid)).cpuShare;
    }
    finish(p);
    return share;
}

void RoutingCPU(benchmark::State& state)
{
    const auto quantum = std::uint32_t(state.range(0));
    const Window window = state.range(1) == 1 ? Window::shown : Window::closed;
    const char* windowName = window == Window::shown ? "window shown" : "window closed";
    if (!session().setQuantum(quantum)) {
        state.SkipWithError("the graph did not take the quantum");
        return;
    }
    session().application().clicking = true;
    session().microphone().clicking = true;
    std::vector<double> referenceCPU, programCPU, referenceServer, programServer, programWakeups, frameClockCPU;
    std::map<std::string, std::vector<double>> threadCPU, threadWakeups;
    for (auto _ : state) {
        for (int r = 0; r < settings().rounds; ++r) {
            Round reference, program;
            if (r % 2 == 0) {
                reference = measureRound(false, window);
                program = measureRound(true, window);
            } else {
                program = measureRound(true, window);
                reference = measureRound(false, window);
            }
            if (window == Window::shown) {
                const double clock = measureFrameClock();
                std::fprintf(stderr, "RoutingCPU/%u (%s) round %d: a frame clock alone %.3f %%\n", quantum,
                             windowName, r + 1, 100 * clock);
                if (clock >= 0)
                    frameClockCPU.push_back(clock);
            }
            std::fprintf(stderr,
                         "RoutingCPU/%u (%s) round %d: pw-loopback %.3f %% (server %.3f %%) | program %.3f %% "
                         "(server %.3f %%, %.0f wake-ups/s)\n",
                         quantum, windowName, r + 1, 100 * reference.process.cpuShare,
                         100 * reference.server.cpuShare, 100 * program.process.cpuShare,
                         100 * program.server.cpuShare, program.process.wakeupsPerSecond);
            if (reference.valid()) {
                referenceCPU.push_back(reference.process.cpuShare);
                referenceServer.push_back(reference.server.cpuShare);
            }
            if (program.valid()) {
                programCPU.push_back(program.process.cpuShare);
                programServer.push_back(program.server.cpuShare);
                programWakeups.push_back(program.process.wakeupsPerSecond);
                for (const auto& [name, share] : program.process.cpuShareByThread)
                    threadCPU[name].push_back(share);
                for (const auto& [name, wakeups] : program.process.wakeupsByThread)
                    threadWakeups[name].push_back(wakeups);
            }
        }
    }
    session().application().clicking = false;
    session().microphone().clicking = false;
    if (referenceCPU.empty() || programCPU.empty()) {
        state.SkipWithError("no measurement: see the logs in the server's folder");
        return;
    }
    std::fprintf(stderr, "RoutingCPU/%u (%s) CPU %% of a core: pw-loopback [%s] program [%s]\n", quantum,
                 windowName, list(referenceCPU, "%.3f", 100).c_str(), list(programCPU, "%.3f", 100).c_str());
    for (const auto& [name, shares] : threadCPU)
        std::fprintf(stderr, "RoutingCPU/%u (%s) program thread %-16s %.3f %% (%.3f..%.3f), %.1f wake-ups/s\n",
                     quantum, windowName, name.c_str(), 100 * median(shares), 100 * spread(shares).min,
                     100 * spread(shares).max, median(threadWakeups[name]));
    const Spread ref = spread(referenceCPU), prog = spread(programCPU);
    state.counters["quantum"] = quantum;
    state.counters["rounds"] = double(programCPU.size());
    // Shares of one core, in percent.
    state.counters["ref_cpu_min"] = 100 * ref.min;
    state.counters["ref_cpu_med"] = 100 * ref.median;
    state.counters["ref_cpu_max"] = 100 * ref.max;
    state.counters["prog_cpu_min"] = 100 * prog.min;
    state.counters["prog_cpu_med"] = 100 * prog.median;
    state.counters["prog_cpu_max"] = 100 * prog.max;
    state.counters["cpu_ratio"] = prog.median / ref.median;
    state.counters["ref_server_med"] = 100 * median(referenceServer);
    state.counters["prog_server_med"] = 100 * median(programServer);
    state.counters["prog_wakeups_s"] = median(programWakeups);
    if (!frameClockCPU.empty()) {
        const Spread clock = spread(frameClockCPU);
        state.counters["clock_cpu_min"] = 100 * clock.min;
        state.counters["clock_cpu_med"] = 100 * clock.median;
        state.counters["clock_cpu_max"] = 100 * clock.max;
    }
}

BENCHMARK(RoutingCPU)
    ->ArgsProduct({{256, 1024}, {1, 2}})
    ->ArgNames({"quantum", "window"})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
} // namespace bench
