// Added latency as a voice-chat application meets it: each start of a routing
// process (a fresh process each, alternating pw-loopback and the program)
// gives the median delay of the clicks heard in a window; reported as
// min/median/max over the starts' medians for both, the extremes over single
// clicks, and the program's excess (median against median).
//
//   AppToDevice/<quantum>          the music application's clicks
//   MicrophoneToDevice/<quantum>   the microphone's clicks
//   MicrophoneWithoutMusicToDevice/<quantum>  the same with the music
//                                  application paused, as in most of a call
//   SlowStartAppToDevice/<quantum> WirePlumber paused (SIGSTOP) for 3 s while
//                                  each process starts, then resumed
//   DrivingMicrophoneToDevice/<quantum>, DrivingMicrophoneWithoutMusicToDevice/<quantum>
//                                  the same two with a microphone that drives
//                                  its graph, as a sound card's does (its own
//                                  delay is one quantum, for both)

#include "ProcessSampling.h"
#include "Session.h"
#include "Settings.h"
#include "Statistics.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace bench {
namespace {

constexpr double kWarmUpSeconds = 1.0;
constexpr double kWindowSeconds = 4.0;

// The delay of each click of `source` heard over a window.
std::vector<double> clickDelays(Clicker& source)
{
    sleepSeconds(kWarmUpSeconds);
    const std::int64_t from = monotonicNsec();
    sleepSeconds(kWindowSeconds);
    const std::int64_t to = monotonicNsec();
    sleepSeconds(0.05);  // the second impulse of the last click
    return delaysInFrames(source.emitted.snapshot(), clicksHeard(session().heard().snapshot(), from, to));
}

std::vector<double> measureStart(bool program, Path path, bool slowSessionManager)
{
    Process p = session().startRouting(program, path, slowSessionManager);
    std::vector<double> delays;
    if (p.pid > 0)
        delays = clickDelays(session().source(path));
    session().endRouting(p, program);
    return delays;
}

void measureStarts(benchmark::State& state, const char* name, Path path, bool slowSessionManager)
{
    const auto quantum = std::uint32_t(state.range(0));
    Clicker& source = session().source(path);
    if (!session().useMicrophone(path == Path::application ? Path::microphone : path)) {
        state.SkipWithError("the session did not take the microphone");
        return;
    }
    if (!session().setQuantum(quantum)) {
        state.SkipWithError("the graph did not take the quantum");
        return;
    }
    source.clicking = true;
    sleepSeconds(0.3);
    std::vector<double> referenceDelays, programDelays;
    std::vector<double> referenceClicks, programClicks;  // every click of every start
    for (auto _ : state) {
        for (int s = 0; s < settings().starts; ++s) {
            const std::vector<double> reference = measureStart(false, path, slowSessionManager);
            const std::vector<double> program = measureStart(true, path, slowSessionManager);
            std::fprintf(stderr,
                         "%s/%u start %2d: pw-loopback %6.0f frames (clicks %zu, %4.0f..%-4.0f) | "
                         "program %6.0f frames (clicks %zu, %4.0f..%-4.0f)\n",
                         name, quantum, s + 1, median(reference), reference.size(), spread(reference).min,
                         spread(reference).max, median(program), program.size(), spread(program).min,
                         spread(program).max);
            if (!reference.empty()) {
                referenceDelays.push_back(median(reference));
                referenceClicks.insert(referenceClicks.end(), reference.begin(), reference.end());
            }
            if (!program.empty()) {
                programDelays.push_back(median(program));
                programClicks.insert(programClicks.end(), program.begin(), program.end());
            }
        }
    }
    source.clicking = false;
    if (referenceDelays.empty() || programDelays.empty()) {
        state.SkipWithError("no measurement: see the logs in the server's folder");
        return;
    }
    std::fprintf(stderr, "%s/%u per-start delays (frames): pw-loopback [%s] program [%s]\n", name, quantum,
                 list(referenceDelays, "%.0f").c_str(), list(programDelays, "%.0f").c_str());
    const Spread reference = spread(referenceDelays), program = spread(programDelays);
    state.counters["quantum"] = quantum;
    state.counters["starts_ref"] = double(referenceDelays.size());
    state.counters["starts_prog"] = double(programDelays.size());
    state.counters["ref_min"] = reference.min;
    state.counters["ref_median"] = reference.median;
    state.counters["ref_max"] = reference.max;
    state.counters["prog_min"] = program.min;
    state.counters["prog_median"] = program.median;
    state.counters["prog_max"] = program.max;
    // The extremes over single clicks rather than over the starts' medians.
    state.counters["ref_click_min"] = spread(referenceClicks).min;
    state.counters["ref_click_max"] = spread(referenceClicks).max;
    state.counters["prog_click_min"] = spread(programClicks).min;
    state.counters["prog_click_max"] = spread(programClicks).max;
    // pw-loopback adds nothing when it is linked right: a ratio to nothing
    // means nothing, so the program is compared by its excess.
    state.counters["excess_frames"] = program.median - reference.median;
    state.counters["excess_quanta"] = (program.median - reference.median) / quantum;
}

void AppToDevice(benchmark::State& state) { measureStarts(state, "AppToDevice", Path::application, false); }
void MicrophoneToDevice(benchmark::State& state) { measureStarts(state, "MicrophoneToDevice", Path::microphone, false); }
// A call without music: the application is paused, so no speakers are in
// the routing's group.
void MicrophoneWithoutMusicToDevice(benchmark::State& state)
{
    session().setQuantum(std::uint32_t(state.range(0)));  // while the application still runs to see it
    session().setMusicPlaying(false);
    measureStarts(state, "MicrophoneWithoutMusicToDevice", Path::microphone, false);
    session().setMusicPlaying(true);
}
// A microphone that drives outranks the speakers (2000 against 1000, as ALSA
// ranks capture and playback), so it drives the routing's group with music
// or without. Its own delay, measured at its output over the whole case, is
// `microphone_own`: the delay the routing adds is the rest.
void measureDrivingMicrophone(benchmark::State& state, const char* name)
{
    if (!session().setDrivingMicrophone(true)) {
        state.SkipWithError("no driving microphone");
    } else {
        const std::int64_t from = monotonicNsec();
        measureStarts(state, name, Path::drivingMicrophone, false);
        const std::vector<double> own =
            delaysInFrames(session().source(Path::drivingMicrophone).emitted.snapshot(),
                           clicksHeard(session().heardAtDrivingMicrophone().snapshot(), from, monotonicNsec()));
        std::fprintf(stderr, "%s/%lld the microphone's own delay: %.0f frames (clicks %zu, %.0f..%.0f)\n", name,
                     static_cast<long long>(state.range(0)), median(own), own.size(), spread(own).min,
                     spread(own).max);
        state.counters["microphone_own"] = median(own);
    }
    session().setDrivingMicrophone(false);
}
void DrivingMicrophoneToDevice(benchmark::State& state)
{
    measureDrivingMicrophone(state, "DrivingMicrophoneToDevice");
}
void DrivingMicrophoneWithoutMusicToDevice(benchmark::State& state)
{
    session().setQuantum(std::uint32_t(state.range(0)));
    session().setMusicPlaying(false);
    measureDrivingMicrophone(state, "DrivingMicrophoneWithoutMusicToDevice");
    session().setMusicPlaying(true);
}
void SlowStartAppToDevice(benchmark::State& state)
{
    measureStarts(state, "SlowStartAppToDevice", Path::application, true);
}

BENCHMARK(AppToDevice)->Arg(64)->Arg(256)->Arg(1024)->Arg(2048)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(MicrophoneToDevice)->Arg(64)->Arg(256)->Arg(1024)->Arg(2048)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(MicrophoneWithoutMusicToDevice)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(DrivingMicrophoneToDevice)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(DrivingMicrophoneWithoutMusicToDevice)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(SlowStartAppToDevice)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
} // namespace bench
