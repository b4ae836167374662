// Added latency through the router's graph: a click played by the music app
// enters the process tap's IOProc and leaves through the virtual device's
// IOProc; the difference of its positions in the two streams is the latency
// the program adds. Measured on the simulated system's manual clock, beside a
// direct loopback (the same click copied straight from the tap's stream to the
// output stream) measured the same way in the same run.

#include "NSUserDefaults.h"
#include "SimulatedAudioSystem.h"
#include "VLMAudioRouter.h"
#include "VLMVirtualOutputDevice.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cmath>

namespace {

constexpr std::uint64_t clickFrame = 48000;  // one second in, long after start-up
// The microphone clicks a quarter of a second later, at 16 kHz.
constexpr std::uint64_t microphoneClickFrame = 20000;
constexpr std::uint64_t microphoneClickOutputFrame = 60000;

std::shared_ptr<SimulatedAudioSystem> makeSystem(std::uint32_t bufferFrames)
{
    auto system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::manual);
    auto mic = SimulatedDeviceDescription::microphone("mic", "Microphone", 1, 16000,
                                                      SimulatedSignals::impulse(microphoneClickFrame, 1.0f));
    mic.bufferFrameSize = bufferFrames / 3;
    system->addDevice(mic);
    auto output = SimulatedDeviceDescription::output(VLMVirtualOutputDevice::deviceUID,
                                                     VLMVirtualOutputDevice::displayName, 48000);
    output.bufferFrameSize = bufferFrames;
    system->addDevice(output);
    system->setTapBufferFrameSize(bufferFrames);
    system->addApplication("com.tarnwick.velmora", SimulatedSignals::impulse(clickFrame, 1.0f));
    return system;
}

// Where the click came out in the virtual device's stream (the loudest frame
// from `from` to `to`), or -1.
std::int64_t clickPosition(const SimulatedAudioSystem& system, AudioObjectID device, std::size_t from = 0,
                           std::size_t to = 54000)
{
    const std::vector<float> recording = system.recordedOutput(device);
    std::size_t loudest = 2 * from;
    for (std::size_t i = 2 * from; i < recording.size() && i < 2 * to; i += 2)
        if (std::abs(recording[i]) > std::abs(recording[loudest]))
            loudest = i;
    return loudest >= recording.size() || recording[loudest] == 0.0f ? -1 : std::int64_t(loudest / 2);
}

void RouterAddedLatency(benchmark::State& state)
{
    const auto bufferFrames = std::uint32_t(state.range(0));
    QTemporaryDir folder;
    NSUserDefaults::useFileForTesting(folder.filePath("defaults.conf").toStdString());
    std::int64_t latency = -1, microphoneLatency = -1;
    for (auto _ : state) {
        auto system = makeSystem(bufferFrames);
        AudioHardwareInstallBackend(system);
        {
            auto router = VLMAudioRouter::create();
            router->start();
            system->advance(1.5);
            const AudioObjectID output = *system->deviceWithUID(VLMVirtualOutputDevice::deviceUID);
            latency = clickPosition(*system, output) - std::int64_t(clickFrame);
            microphoneLatency =
                clickPosition(*system, output, 56000, 70000) - std::int64_t(microphoneClickOutputFrame);
            router->stop();
        }
        AudioHardwareInstallBackend(nullptr);
    }
    NSUserDefaults::useFileForTesting({});
    state.counters["added_latency_frames"] = double(latency);
    state.counters["microphone_latency_frames"] = double(microphoneLatency);
    state.counters["device_buffer_frames"] = bufferFrames;
    state.counters["latency_in_buffers"] = double(latency) / bufferFrames;
}

// The reference: an IOProc pair that copies the tap's stream to the output
// directly through a one-buffer hand-off, as a loopback would.
void DirectLoopbackLatency(benchmark::State& state)
{
    const auto bufferFrames = std::uint32_t(state.range(0));
    std::int64_t latency = -1;
    for (auto _ : state) {
        auto system = makeSystem(bufferFrames);
        AudioHardwareInstallBackend(system);
        CATapDescription description = CATapDescription::initStereoMixdownOfProcesses({});
        description.setBundleIDs({"com.tarnwick.velmora"});
        AudioObjectID tap = 0, aggregate = 0;
        AudioHardwareCreateProcessTap(&description, &tap);
        CFStringRef uid = nullptr;
        std::uint32_t size = sizeof uid;
        const AudioObjectPropertyAddress uidAddress{kAudioTapPropertyUID, kAudioObjectPropertyScopeGlobal, 0};
        AudioObjectGetPropertyData(tap, &uidAddress, 0, nullptr, &size, &uid);
        const CFDictionary aggregateDescription = {
            {kAudioAggregateDeviceUIDKey, "loopback"},
            {kAudioAggregateDeviceIsPrivateKey, true},
            {kAudioAggregateDeviceTapListKey, CFArray{CFDictionary{{kAudioSubTapUIDKey, CFStringGetUTF8(uid)}}}}};
        CFRelease(uid);
        AudioHardwareCreateAggregateDevice(&aggregateDescription, &aggregate);
        std::vector<float> handOff(std::size_t(bufferFrames) * 2);
        AudioDeviceIOProcID in = nullptr, out = nullptr;
        AudioDeviceCreateIOProcIDWithBlock(&in, aggregate, nullptr,
                                           [&](auto, const AudioBufferList* input, auto, auto, auto) {
                                               std::memcpy(handOff.data(), input->mBuffers[0].mData,
                                                           handOff.size() * sizeof(float));
                                           });
        const AudioObjectID output = *system->deviceWithUID(VLMVirtualOutputDevice::deviceUID);
        AudioDeviceCreateIOProcIDWithBlock(&out, output, nullptr, [&](auto, auto, auto, AudioBufferList* data, auto) {
            std::memcpy(data->mBuffers[0].mData, handOff.data(), handOff.size() * sizeof(float));
        });
        AudioDeviceStart(aggregate, in);
        AudioDeviceStart(output, out);
        system->advance(1.5);
        latency = clickPosition(*system, output) - std::int64_t(clickFrame);
        AudioDeviceStop(output, out);
        AudioDeviceStop(aggregate, in);
        AudioHardwareInstallBackend(nullptr);
    }
    state.counters["added_latency_frames"] = double(latency);
    state.counters["device_buffer_frames"] = bufferFrames;
    state.counters["latency_in_buffers"] = double(latency) / bufferFrames;
}

BENCHMARK(RouterAddedLatency)->Arg(128)->Arg(512)->Arg(1024)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(DirectLoopbackLatency)->Arg(128)->Arg(512)->Arg(1024)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
