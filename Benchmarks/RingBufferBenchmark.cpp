// Moves 1,024-frame stereo blocks through a 65,536-frame ring (Write, then
// Read), as a capture callback and a render callback do, in two layouts:
// one interleaved buffer, and two mono buffers. Beside it, in the same run:
//   Memcpy          copies the same bytes into a ring of the same size and
//                   back out, the bound for any ring;
//   BoostSpscQueue  boost::lockfree::spsc_queue carrying the same frames
//                   between the same buffers.
// Each reports frames_per_second; the ring buffer also reports its speed as
// a fraction of the other two (vs_memcpy, vs_boost) when they ran first.

#include "VLMAudioRingBuffer.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <vector>

namespace {

constexpr std::uint32_t capacity = 65536;
constexpr std::uint32_t blockFrames = 1024;

enum Layout { interleaved, split };

struct StereoFrame {
    float left, right;
};
static_assert(sizeof(StereoFrame) == 2 * sizeof(float));

// Frames per second of the baselines, by layout, as last measured.
double memcpyRate[2], boostRate[2];

// A list with room for two entries, laid out as the platform does.
struct TwoEntryList {
    AudioBufferList list;
    AudioBuffer second;
};

// The input and output blocks of one layout, and their buffer lists.
struct Blocks {
    explicit Blocks(Layout layout)
        : frames(blockFrames), left(blockFrames), right(blockFrames), outFrames(blockFrames), outLeft(blockFrames),
          outRight(blockFrames)
    {
        for (std::uint32_t i = 0; i < blockFrames; ++i) {
            const float x = float(i % 200) / 100.0f - 1.0f;
            frames[i] = {x, -x};
            left[i] = x;
            right[i] = -x;
        }
        if (layout == interleaved) {
            input.list = {1, {{2, blockFrames * 8, frames.data()}}};
            output.list = {1, {{2, blockFrames * 8, outFrames.data()}}};
        } else {
            input = {{2, {{1, blockFrames * 4, left.data()}}}, {1, blockFrames * 4, right.data()}};
            output = {{2, {{1, blockFrames * 4, outLeft.data()}}}, {1, blockFrames * 4, outRight.data()}};
        }
    }

    std::vector<StereoFrame> frames;
    std::vector<float> left, right;
    std::vector<StereoFrame> outFrames;
    std::vector<float> outLeft, outRight;
    TwoEntryList input{}, output{};
};

double threadSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Runs `block` once per iteration and returns the frames moved per second
// of CPU time, like the frames_per_second counter (the machine may be
// shared, so wall time would compare other programs' load).
template <class Block>
double measure(benchmark::State& state, Block block)
{
    const double start = threadSeconds();
    for (auto _ : state) {
        block();
        benchmark::ClobberMemory();
    }
    const double frames = double(state.iterations()) * blockFrames;
    state.counters["frames_per_second"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    return frames / (threadSeconds() - start);
}

void Memcpy(benchmark::State& state, Layout layout)
{
    Blocks blocks(layout);
    std::vector<float> ring(2 * std::size_t(capacity));
    float* storage = ring.data();
    std::uint32_t position = 0;
    memcpyRate[layout] = measure(state, [&] {
        if (layout == interleaved) {
            std::memcpy(storage + 2 * position, blocks.frames.data(), blockFrames * sizeof(StereoFrame));
            benchmark::ClobberMemory();
            std::memcpy(blocks.outFrames.data(), storage + 2 * position, blockFrames * sizeof(StereoFrame));
        } else {
            std::memcpy(storage + position, blocks.left.data(), blockFrames * sizeof(float));
            std::memcpy(storage + capacity + position, blocks.right.data(), blockFrames * sizeof(float));
            benchmark::ClobberMemory();
            std::memcpy(blocks.outLeft.data(), storage + position, blockFrames * sizeof(float));
            std::memcpy(blocks.outRight.data(), storage + capacity + position, blockFrames * sizeof(float));
        }
        position = (position + blockFrames) % capacity;
    });
}

// Reads frames out of two mono buffers, for the queue's bulk push.
struct SplitReader {
    using iterator_category = std::random_access_iterator_tag;
    using value_type = StereoFrame;
    using difference_type = std::ptrdiff_t;
    using pointer = const StereoFrame*;
    using reference = StereoFrame;

    const float* left;
    const float* right;

    StereoFrame operator*() const { return {*left, *right}; }
    SplitReader& operator++()
    {
        ++left;
        ++right;
        return *this;
    }
    SplitReader operator++(int)
    {
        SplitReader before = *this;
        ++*this;
        return before;
    }
    SplitReader& operator+=(difference_type n)
    {
        left += n;
        right += n;
        return *this;
    }
    SplitReader operator+(difference_type n) const { return SplitReader(*this) += n; }
    difference_type operator-(const SplitReader& other) const { return left - other.left; }
    bool operator==(const SplitReader& other) const { return left == other.left; }
    bool operator!=(const SplitReader& other) const { return left != other.left; }
};

// Writes frames into two mono buffers, for the queue's bulk pop.
struct SplitWriter {
    using iterator_category = std::output_iterator_tag;
    using value_type = void;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = void;

    float* left;
    float* right;

    SplitWriter& operator*() { return *this; }
    SplitWriter& operator=(const StereoFrame& frame)
    {
        *left = frame.left;
        *right = frame.right;
        return *this;
    }
    SplitWriter& operator++()
    {
        ++left;
        ++right;
        return *this;
    }
    SplitWriter operator++(int)
    {
        SplitWriter before = *this;
        ++*this;
        return before;
    }
};

void BoostSpscQueue(benchmark::State& state, Layout layout)
{
    Blocks blocks(layout);
    boost::lockfree::spsc_queue<StereoFrame> queue(capacity);
    boostRate[layout] = measure(state, [&] {
        if (layout == interleaved) {
            queue.push(blocks.frames.data(), blockFrames);
            queue.pop(blocks.outFrames.data(), blockFrames);
        } else {
            const SplitReader begin{blocks.left.data(), blocks.right.data()};
            queue.push(begin, begin + blockFrames);
            queue.pop(SplitWriter{blocks.outLeft.data(), blocks.outRight.data()});
        }
    });
    if (memcpyRate[layout] > 0)
        state.counters["vs_memcpy"] = boostRate[layout] / memcpyRate[layout];
}

void RingBuffer(benchmark::State& state, Layout layout)
{
    Blocks blocks(layout);
    VLMAudioRingBuffer* ring = VLMAudioRingBufferCreate(capacity);
    AudioBufferList* input = &blocks.input.list;
    AudioBufferList* output = &blocks.output.list;
    const double rate = measure(state, [&] {
        VLMAudioRingBufferWrite(ring, input, blockFrames);
        VLMAudioRingBufferRead(ring, output, blockFrames);
    });
    VLMAudioRingBufferDestroy(ring);
    if (memcpyRate[layout] > 0)
        state.counters["vs_memcpy"] = rate / memcpyRate[layout];
    if (boostRate[layout] > 0)
        state.counters["vs_boost"] = rate / boostRate[layout];
}

// Registration order is run order: the baselines of a layout come first.
BENCHMARK_CAPTURE(Memcpy, Interleaved, interleaved);
BENCHMARK_CAPTURE(BoostSpscQueue, Interleaved, interleaved);
BENCHMARK_CAPTURE(RingBuffer, Interleaved, interleaved);
BENCHMARK_CAPTURE(Memcpy, Split, split);
BENCHMARK_CAPTURE(BoostSpscQueue, Split, split);
BENCHMARK_CAPTURE(RingBuffer, Split, split);

} // namespace

BENCHMARK_MAIN();
