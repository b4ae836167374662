// Rendering one block (256 or 1,024 frames, two common device quanta) through
// a graph shaped like the program's (music at 48 kHz, microphone at 16 kHz
// resampled to 48 kHz, a mixer each, the main mixer, a 1,024-frame tap on each
// mixer), as a multiple of real time, beside a plain copy of the same frames. Then the two resampler libraries, measured
// on the same pull pattern: cost per block, THD+N of a sine, and allocations
// inside their process calls once warmed up.
//
//   build/default/Benchmarks/EngineRenderBenchmark
//   build/default/Benchmarks/EngineRenderBenchmark --benchmark_filter=Resampler

#include "AVFAudio.h"
#include "VLMAudioRouter.h"

#include <benchmark/benchmark.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

// Counts allocations on the calling thread, to see which resampler allocates
// inside its process call.
namespace {
thread_local std::uint64_t allocations;
}
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* malloc(std::size_t size)
{
    ++allocations;
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size)
{
    ++allocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size)
{
    ++allocations;
    return __libc_realloc(p, size);
}
}

namespace {

constexpr AVAudioFrameCount kBlock = 1024;
constexpr double kOutputRate = 48000.0;

// Stereo frames prepared in advance that a source node plays in a loop, as
// the program's source nodes read a ring buffer.
struct LoopedFrames {
    LoopedFrames(double rate, double frequency, std::size_t frames) : left(frames), right(frames)
    {
        for (std::size_t i = 0; i < frames; ++i)
            left[i] = right[i] = 0.5f * float(std::sin(2.0 * std::numbers::pi * frequency * double(i) / rate));
    }
    void read(AudioBufferList* data, AVAudioFrameCount frames)
    {
        for (AVAudioFrameCount done = 0; done < frames;) {
            const auto n = AVAudioFrameCount(std::min<std::size_t>(frames - done, left.size() - position));
            std::memcpy(static_cast<float*>(data->mBuffers[0].mData) + done, left.data() + position, n * 4);
            std::memcpy(static_cast<float*>(data->mBuffers[1].mData) + done, right.data() + position, n * 4);
            position = (position + n) % left.size();
            done += n;
        }
    }
    std::vector<float> left, right;
    std::size_t position = 0;
};

void EngineRenderBlock(benchmark::State& state)
{
    const auto block = AVAudioFrameCount(state.range(0));
    auto music = std::make_shared<LoopedFrames>(48000.0, 440.0, 48000);
    auto microphone = std::make_shared<LoopedFrames>(16000.0, 1000.0, 16000);
    const auto musicFormat = AVAudioFormat::standardFormatWithSampleRate(48000.0, 2);
    const auto microphoneFormat = AVAudioFormat::standardFormatWithSampleRate(16000.0, 2);

    AVAudioEngine engine;
    engine.enableManualRenderingMode(AVAudioEngineManualRenderingMode::realtime, musicFormat, block);
    auto musicSource = std::make_shared<AVAudioSourceNode>(
        musicFormat, [music](bool*, const AudioTimeStamp*, AVAudioFrameCount frames, AudioBufferList* data) {
            music->read(data, frames);
            return OSStatus(0);
        });
    auto microphoneSource = std::make_shared<AVAudioSourceNode>(
        microphoneFormat,
        [microphone](bool*, const AudioTimeStamp*, AVAudioFrameCount frames, AudioBufferList* data) {
            microphone->read(data, frames);
            return OSStatus(0);
        });
    auto musicMixer = std::make_shared<AVAudioMixerNode>();
    auto microphoneMixer = std::make_shared<AVAudioMixerNode>();
    VLMAudioRouter::connectMix(engine, musicSource, microphoneSource, musicMixer, microphoneMixer, musicFormat,
                               microphoneFormat);
    musicMixer->setOutputVolume(0.5f);
    microphoneMixer->setOutputVolume(0.25f);
    // The taps do what the program's meters do: a peak per buffer.
    auto peak = [](const std::shared_ptr<AVAudioPCMBuffer>& buffer, const AVAudioTime&) {
        float p = 0;
        for (AVAudioChannelCount c = 0; c < buffer->format()->channelCount(); ++c)
            for (AVAudioFrameCount f = 0; f < buffer->frameLength(); ++f)
                p = std::max(p, std::fabs(buffer->floatChannelData()[c][f]));
        benchmark::DoNotOptimize(p);
    };
    musicMixer->installTapOnBus(0, 1024, nullptr, peak);
    microphoneMixer->installTapOnBus(0, 1024, nullptr, peak);
    engine.start();

    AVAudioPCMBuffer output(musicFormat, block);
    for (auto _ : state) {
        engine.renderOffline(block, output);
        benchmark::DoNotOptimize(output.floatChannelData()[0][0]);
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * block / kOutputRate, benchmark::Counter::kIsRate);
    state.counters["dropped_tap_frames"] = double(engine.droppedTapFrames());
    engine.stop();
}
BENCHMARK(EngineRenderBlock)->Arg(256)->Arg(1024);

// The reference: the same source frames (a block of music and a third of a
// block of microphone frames per channel) copied into an output block, no
// mixing, no conversion.
void PlainCopyOfTheSameFrames(benchmark::State& state)
{
    const auto block = AVAudioFrameCount(state.range(0));
    const AVAudioFrameCount microphoneFrames = (block + 2) / 3;
    LoopedFrames music(48000.0, 440.0, 48000), microphone(16000.0, 1000.0, 16000);
    std::vector<float> left(block), right(block), microphoneLeft(microphoneFrames), microphoneRight(microphoneFrames);
    std::vector<std::byte> storage(AudioBufferListSize(2));
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    list->mNumberBuffers = 2;
    for (auto _ : state) {
        list->mBuffers[0] = {1, block * 4, left.data()};
        list->mBuffers[1] = {1, block * 4, right.data()};
        music.read(list, block);
        list->mBuffers[0] = {1, microphoneFrames * 4, microphoneLeft.data()};
        list->mBuffers[1] = {1, microphoneFrames * 4, microphoneRight.data()};
        microphone.read(list, microphoneFrames);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(microphoneLeft.data());
        benchmark::ClobberMemory();
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * block / kOutputRate, benchmark::Counter::kIsRate);
}
BENCHMARK(PlainCopyOfTheSameFrames)->Arg(256)->Arg(1024);

// ---- the resampler comparison -------------------------------------------------

// One channel, pulled like the engine pulls: a block of output frames at a
// time, fed the input that block needs.
class Resampler {
public:
    virtual ~Resampler() = default;
    // Consumes up to *inFrames, produces up to *outFrames; both updated.
    virtual void process(const float* in, std::size_t* inFrames, float* out, std::size_t* outFrames) = 0;
};

class Speex final : public Resampler {
public:
    Speex(double inRate, double outRate, int quality)
    {
        int error = 0;
        state_ = speex_resampler_init(1, spx_uint32_t(inRate), spx_uint32_t(outRate), quality, &error);
        speex_resampler_skip_zeros(state_);
    }
    ~Speex() override { speex_resampler_destroy(state_); }
    void process(const float* in, std::size_t* inFrames, float* out, std::size_t* outFrames) override
    {
        spx_uint32_t i = spx_uint32_t(*inFrames), o = spx_uint32_t(*outFrames);
        speex_resampler_process_float(state_, 0, in, &i, out, &o);
        *inFrames = i, *outFrames = o;
    }

private:
    SpeexResamplerState* state_;
};

class Soxr final : public Resampler {
public:
    Soxr(double inRate, double outRate, unsigned long recipe)
    {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        state_ = soxr_create(inRate, outRate, 1, &error, &io, &quality, &runtime);
    }
    ~Soxr() override { soxr_delete(state_); }
    void process(const float* in, std::size_t* inFrames, float* out, std::size_t* outFrames) override
    {
        std::size_t done = 0, produced = 0;
        soxr_process(state_, in, *inFrames, &done, out, *outFrames, &produced);
        *inFrames = done, *outFrames = produced;
    }

private:
    soxr_t state_;
};

// Streams a sine through `resampler` in blocks of `block()` output frames and
// returns the output; `allocationsAfterWarmUp` counts allocations in the
// second half of the run.
std::vector<float> stream(Resampler& resampler, double inRate, double outRate, double frequency,
                          std::size_t outputFrames, const std::function<std::size_t()>& block,
                          std::uint64_t* allocationsAfterWarmUp)
{
    std::vector<float> output(outputFrames + 8192), queue(65536), chunk(8192);
    std::size_t queued = 0, produced = 0;
    std::uint64_t input = 0, counted = 0;
    while (produced < outputFrames) {
        const std::size_t wanted = std::min(block(), outputFrames - produced);
        const auto needed = std::size_t(std::ceil(double(wanted) * inRate / outRate)) + 1;
        while (queued < needed)
            queue[queued++] =
                0.5f * float(std::sin(2.0 * std::numbers::pi * std::fmod(double(input++) * frequency / inRate, 1.0)));
        std::size_t in = queued, out = wanted;
        const std::uint64_t before = allocations;
        resampler.process(queue.data(), &in, output.data() + produced, &out);
        if (produced > outputFrames / 2)
            counted += allocations - before;
        std::memmove(queue.data(), queue.data() + in, (queued - in) * sizeof(float));
        queued -= in;
        produced += out;
    }
    if (allocationsAfterWarmUp)
        *allocationsAfterWarmUp = counted;
    output.resize(outputFrames);
    return output;
}

// THD+N of a sine in dB: what is left after removing the best-fitting sine
// at its frequency, against that sine, once the filter has settled.
double thdPlusNoise(const std::vector<float>& samples, double frequency, double rate)
{
    const std::size_t start = 8192;
    const double w = 2.0 * std::numbers::pi * frequency / rate;
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
    for (std::size_t i = start; i < samples.size(); ++i) {
        const double s = std::sin(w * double(i)), c = std::cos(w * double(i));
        ss += s * s, cc += c * c, sc += s * c, ys += samples[i] * s, yc += samples[i] * c;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double signal = 0, residual = 0;
    for (std::size_t i = start; i < samples.size(); ++i) {
        const double fit = a * std::sin(w * double(i)) + b * std::cos(w * double(i));
        signal += fit * fit;
        residual += (samples[i] - fit) * (samples[i] - fit);
    }
    return 10.0 * std::log10(residual / signal);
}

struct Candidate {
    std::string name;
    std::function<std::unique_ptr<Resampler>(double inRate, double outRate)> make;
};

void ResamplerBlock(benchmark::State& state, const Candidate& candidate, double inRate)
{
    // Quality: a low and a high tone (1 kHz, and 40 % of the input rate, near
    // the top of its band), in fixed blocks; allocations with block sizes that
    // vary as a device's buffer may.
    const double high = std::round(inRate * 0.4 / 100.0) * 100.0;
    auto fixed = [] { return std::size_t(kBlock); };
    auto lowTone = candidate.make(inRate, kOutputRate);
    const double lowThd = thdPlusNoise(stream(*lowTone, inRate, kOutputRate, 1000.0, 96000, fixed, nullptr), 1000.0,
                                       kOutputRate);
    auto highTone = candidate.make(inRate, kOutputRate);
    const double highThd =
        thdPlusNoise(stream(*highTone, inRate, kOutputRate, high, 96000, fixed, nullptr), high, kOutputRate);
    std::mt19937 random(7);
    auto varying = [&random] { return std::size_t(64 + random() % 4033); };
    auto warm = candidate.make(inRate, kOutputRate);
    std::uint64_t steadyAllocations = 0;
    stream(*warm, inRate, kOutputRate, 1000.0, 4'000'000, varying, &steadyAllocations);

    // Cost: one 1,024-frame output block of one channel (the engine runs one
    // per channel).
    auto timed = candidate.make(inRate, kOutputRate);
    const auto inputFrames = std::size_t(std::ceil(kBlock * inRate / kOutputRate)) + 1;
    std::vector<float> in(inputFrames * 2, 0.25f), out(kBlock);
    std::size_t queued = 0;
    for (auto _ : state) {
        std::size_t produced = 0;
        while (produced < kBlock) {
            queued = std::max(queued, inputFrames);
            std::size_t consumed = queued, written = kBlock - produced;
            timed->process(in.data(), &consumed, out.data() + produced, &written);
            queued -= consumed;
            produced += written;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["thdn_1kHz_dB"] = lowThd;
    state.counters["thdn_high_dB"] = highThd;
    state.counters["high_Hz"] = high;
    state.counters["allocs_warm"] = double(steadyAllocations);
}

const bool registered = [] {
    std::vector<Candidate> candidates;
    for (int quality : {3, 5, 8, 10})
        candidates.push_back({"speexdsp-q" + std::to_string(quality), [quality](double in, double out) {
                                  return std::unique_ptr<Resampler>(new Speex(in, out, quality));
                              }});
    for (auto [recipe, name] : {std::pair{SOXR_LQ, "LQ"}, {SOXR_MQ, "MQ"}, {SOXR_HQ, "HQ"}, {SOXR_VHQ, "VHQ"}})
        candidates.push_back({std::string("soxr-") + name, [recipe = recipe](double in, double out) {
                                  return std::unique_ptr<Resampler>(new Soxr(in, out, recipe));
                              }});
    for (double inRate : {16000.0, 44100.0})
        for (const Candidate& candidate : candidates)
            benchmark::RegisterBenchmark(
                ("Resampler/" + candidate.name + "/" + std::to_string(int(inRate)) + "to48000").c_str(),
                [candidate, inRate](benchmark::State& state) { ResamplerBlock(state, candidate, inRate); })
                ->Unit(benchmark::kMicrosecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();
