// Whether the microphone plays on unbroken while music starts and stops,
// which changes the driver of the routing's graph (the speakers while music
// plays, the virtual device's clock otherwise, for a microphone that is a
// client stream). The microphone plays a sawtooth that names every frame;
// the voice-chat recorder finds each frame skipped or played again, and each
// silence. Each start of a fresh routing process (alternating pw-loopback,
// linked as the program is, and the program) lets the music start and stop
// kChanges times; a break is put down to the change nearest it, within
// kNear. The music starts and stops as a player paused and resumed (its
// links stay; mode 0) or as a player that opens and closes its stream (a
// second application, linked anew each time; mode 1).
//
//   MicrophoneAcrossMusicChanges/<quantum>/<mode>         a microphone stream
//   DrivingMicrophoneAcrossMusicChanges/<quantum>/<mode>  a microphone that drives
//
// Printed per start: the frames skipped (+) or played again (-) at each start
// and at each stop of the music, breaks away from any change, breaks a
// recorder of the microphone itself heard (then the microphone broke, not
// the path after it) and, for pw-loopback, breaks a recorder of its output
// heard (then the break came before the virtual device).

#include "ProcessSampling.h"
#include "Session.h"
#include "Settings.h"
#include "Statistics.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

namespace bench {
namespace {

constexpr int kChanges = 3;
constexpr double kSettleSeconds = 1.0;
constexpr double kPlaySeconds = 0.6;
constexpr double kNear = 0.25e9;

struct Breaks {
    std::vector<double> atStarts, atStops;  // frames per change, 0 where none
    int silences = 0;
    int elsewhere = 0;
    int atMicrophone = 0;
    int afterConsumer = 0;
};

Breaks measureStart(bool program, Path path, bool newStreams, const RampWatch& atMicrophone)
{
    Breaks breaks;
    Process p = session().startRouting(program, path, false);
    if (p.pid <= 0)
        return breaks;
    RampWatch afterConsumer;
    std::unique_ptr<PipeWireClient::CaptureStream> consumerProbe;
    if (!program)
        consumerProbe = std::make_unique<PipeWireClient::CaptureStream>(
            "vlm-bench-loopback-playback", false, "vlm-bench-consumer-probe",
            [&afterConsumer](const float* in, std::uint32_t frames, std::int64_t cycleNsec) {
                afterConsumer.listen(in, frames, cycleNsec);
            });
    sleepSeconds(kSettleSeconds);
    const std::int64_t from = monotonicNsec();
    std::vector<std::int64_t> starts, stops;
    for (int i = 0; i < kChanges; ++i) {
        starts.push_back(monotonicNsec());
        if (newStreams)
            session().startMusicApplication(!program);
        else
            session().setMusicPlaying(true);
        sleepSeconds(kPlaySeconds);
        stops.push_back(monotonicNsec());
        if (newStreams)
            session().endMusicApplication();
        else
            session().setMusicPlaying(false);
        sleepSeconds(kPlaySeconds);
    }
    const std::int64_t to = monotonicNsec();
    consumerProbe.reset();
    for (const RampBreak& b : afterConsumer.breaks().snapshot())
        breaks.afterConsumer += b.nsecAt() >= double(from) && b.nsecAt() < double(to);
    session().endRouting(p, program);
    for (const RampBreak& b : atMicrophone.breaks().snapshot())
        breaks.atMicrophone += !b.silence && b.nsecAt() >= double(from) && b.nsecAt() < double(to);
    breaks.atStarts.assign(starts.size(), 0);
    breaks.atStops.assign(stops.size(), 0);
    for (const RampBreak& b : session().rampHeard().breaks().snapshot()) {
        if (b.nsecAt() < double(from) || b.nsecAt() >= double(to))
            continue;
        breaks.silences += b.silence;
        bool placed = false;
        for (auto* changes : {&starts, &stops})
            for (std::size_t i = 0; i < changes->size() && !placed; ++i)
                if (std::abs(b.nsecAt() - double((*changes)[i])) < kNear) {
                    (changes == &starts ? breaks.atStarts : breaks.atStops)[i] += b.frames;
                    placed = true;
                }
        breaks.elsewhere += !placed && !b.silence;
    }
    return breaks;
}

int nonZero(const std::vector<double>& values)
{
    return int(std::count_if(values.begin(), values.end(), [](double v) { return v != 0; }));
}

void measureChanges(benchmark::State& state, const char* name, Path path)
{
    const auto quantum = std::uint32_t(state.range(0));
    const bool newStreams = state.range(1) == 1;
    Clicker& microphone = session().source(path);
    if (!session().useMicrophone(path) || !session().setQuantum(quantum)) {
        state.SkipWithError("the session took neither the microphone nor the quantum");
        return;
    }
    session().setMusicPlaying(false);
    microphone.ramp = true;
    RampWatch atMicrophone;
    PipeWireClient::CaptureStream probe(
        Session::microphoneNode(path), false, "vlm-bench-microphone-probe",
        [&atMicrophone](const float* in, std::uint32_t frames, std::int64_t cycleNsec) {
            atMicrophone.listen(in, frames, cycleNsec);
        });
    std::vector<double> referenceAtStarts, programAtStarts, referenceAtStops, programAtStops;
    int referenceSilences = 0, programSilences = 0;
    for (auto _ : state) {
        for (int s = 0; s < settings().starts; ++s) {
            const Breaks reference = measureStart(false, path, newStreams, atMicrophone);
            const Breaks program = measureStart(true, path, newStreams, atMicrophone);
            std::fprintf(stderr,
                         "%s/%u/%d start %2d: pw-loopback starts [%s] stops [%s] silences %d elsewhere %d "
                         "at the microphone %d after it %d | program starts [%s] stops [%s] silences %d elsewhere %d "
                         "at the microphone %d\n",
                         name, quantum, int(newStreams), s + 1, list(reference.atStarts, "%+.0f").c_str(),
                         list(reference.atStops, "%+.0f").c_str(), reference.silences, reference.elsewhere,
                         reference.atMicrophone, reference.afterConsumer, list(program.atStarts, "%+.0f").c_str(),
                         list(program.atStops, "%+.0f").c_str(), program.silences, program.elsewhere,
                         program.atMicrophone);
            referenceAtStarts.insert(referenceAtStarts.end(), reference.atStarts.begin(), reference.atStarts.end());
            referenceAtStops.insert(referenceAtStops.end(), reference.atStops.begin(), reference.atStops.end());
            programAtStarts.insert(programAtStarts.end(), program.atStarts.begin(), program.atStarts.end());
            programAtStops.insert(programAtStops.end(), program.atStops.begin(), program.atStops.end());
            referenceSilences += reference.silences;
            programSilences += program.silences;
        }
    }
    microphone.ramp = false;
    session().setMusicPlaying(true);
    session().useMicrophone(Path::microphone);
    state.counters["quantum"] = quantum;
    state.counters["changes"] = double(referenceAtStarts.size());
    // How many music starts and stops broke the sawtooth, and by how much at most.
    state.counters["ref_broken_starts"] = nonZero(referenceAtStarts);
    state.counters["ref_broken_stops"] = nonZero(referenceAtStops);
    state.counters["prog_broken_starts"] = nonZero(programAtStarts);
    state.counters["prog_broken_stops"] = nonZero(programAtStops);
    state.counters["ref_silences"] = referenceSilences;
    state.counters["prog_silences"] = programSilences;
}

void MicrophoneAcrossMusicChanges(benchmark::State& state)
{
    measureChanges(state, "MicrophoneAcrossMusicChanges", Path::microphone);
}
void DrivingMicrophoneAcrossMusicChanges(benchmark::State& state)
{
    if (session().setDrivingMicrophone(true))
        measureChanges(state, "DrivingMicrophoneAcrossMusicChanges", Path::drivingMicrophone);
    else
        state.SkipWithError("no driving microphone");
    session().setDrivingMicrophone(false);
}

BENCHMARK(MicrophoneAcrossMusicChanges)
    ->ArgsProduct({{256, 1024}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(DrivingMicrophoneAcrossMusicChanges)
    ->ArgsProduct({{256, 1024}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
} // namespace bench
