// The program's routing on a real PipeWire server (a private one, started for
// the run by scripts/pipewire-test-server), beside pw-loopback carrying the
// same audio in the same run, measured as a user meets it: added latency
// (LatencyBenchmarks.cpp), CPU (CpuBenchmarks.cpp) and, on request, a soak
// (SoakBenchmark.cpp). The program routes in a process of its own: this
// program again, run with --route (RouterProcess.cpp).
//
//   PipeWireRoutingBenchmark [--starts=N] [--rounds=N] [--settle=S] [--measure=S]
//                            [--soak-minutes=M] [--benchmark_filter=...]
//
// Each start or round is also printed on stderr.

#include "Processes.h"
#include "Session.h"
#include "Settings.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

void SoakBothPaths(benchmark::State& state);

Settings& settings()
{
    static Settings instance;
    return instance;
}

namespace {

std::unique_ptr<Session>& sessionInstance()
{
    static std::unique_ptr<Session> instance;
    return instance;
}

// Takes `--name=value` out of the arguments; whether it was there.
bool takeOption(int& argc, char** argv, const char* name, double& value)
{
    const std::size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
            value = std::atof(argv[i] + length + 1);
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            return true;
        }
    }
    return false;
}

} // namespace

Session& session() { return *sessionInstance(); }

} // namespace bench

int main(int argc, char** argv)
{
    using namespace bench;
    pw_init(nullptr, nullptr);
    if (argc >= 3 && std::strcmp(argv[1], "--route") == 0)
        return route(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "--frame-clock") == 0)
        return frameClock(argc, argv);

    Settings& s = settings();
    double value = 0;
    if (takeOption(argc, argv, "--starts", value))
        s.starts = std::max(1, int(value));
    if (takeOption(argc, argv, "--rounds", value))
        s.rounds = std::max(1, int(value));
    if (takeOption(argc, argv, "--settle", value))
        s.settle = std::max(0.0, value);
    if (takeOption(argc, argv, "--measure", value))
        s.measure = std::max(1.0, value);
    if (takeOption(argc, argv, "--soak-minutes", value))
        s.soakMinutes = std::max(1, int(value));
    benchmark::Initialize(&argc, argv);
    if (s.soakMinutes > 0)
        benchmark::RegisterBenchmark("SoakBothPaths", SoakBothPaths)->Arg(256)->Iterations(1)->Unit(benchmark::kSecond);
    sessionInstance() = Session::start();
    if (!sessionInstance()) {
        std::fprintf(stderr, "PipeWireRoutingBenchmark: no private PipeWire server (see /tmp/vlm-pipewire-bench-*)\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sessionInstance().reset();
    return 0;
}
