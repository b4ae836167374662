// Drives the ring buffer with arbitrary buffer lists, frame counts and call
// sequences, and checks every result, bit for bit, against a plain model that
// follows the rules one frame at a time (one modulo per frame, sums in list
// order, 32-bit indices). Buffers are sized to exactly what the caller limits
// promise, so the sanitizers catch any access beyond them.

#include "VLMAudioRingBuffer.h"
#include "VLMAudioRingBufferInspection.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "ring buffer differs from the model: %s\n", what);
        std::abort();
    }
}

// Bit for bit, except that any NaN matches any NaN: when two NaNs meet in a
// sum, which payload survives depends on the operand order the compiler
// picks, and addition counts as commutative.
bool same(float a, float b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

bool same(const float* a, const float* b, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (!same(a[i], b[i]))
            return false;
    }
    return true;
}

// Consumes the fuzzer's bytes; yields zeros once they run out.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    std::uint8_t byte()
    {
        if (size_ == 0)
            return 0;
        --size_;
        return *data_++;
    }
    std::uint32_t below(std::uint32_t bound)
    {
        std::uint32_t value = byte();
        if (bound > 256)
            value = value << 8 | byte();
        return value % bound;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Sample values: cheap, deterministic, and sometimes far from audio (NaN,
// infinity, negative zero, subnormals) to compare every rounding path.
class Samples {
public:
    explicit Samples(std::uint32_t seed) : state_(seed | 1) {}
    float next(bool raw)
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        if (raw) {
            float value;
            std::memcpy(&value, &state_, sizeof value);
            return value;
        }
        return float(int(state_ % 64) - 32) / 8.0f;
    }

private:
    std::uint32_t state_;
};

// The entries of a list, indexed through a pointer: the declared array has
// one element, the list as many as it says.
AudioBuffer* buffersOf(AudioBufferList& list) { return list.mBuffers; }
const AudioBuffer* buffersOf(const AudioBufferList& list) { return list.mBuffers; }

// A list of buffers whose data live in exactly sized allocations.
struct List {
    std::vector<std::unique_ptr<float[]>> data;
    std::vector<std::size_t> sizes;
    std::unique_ptr<std::byte[]> storage;
    AudioBufferList* list = nullptr;

    explicit List(std::uint32_t buffers)
        : data(buffers), sizes(buffers), storage(new std::byte[AudioBufferListSize(buffers)])
    {
        list = new (storage.get()) AudioBufferList{buffers, {}};
    }
    AudioBuffer& entry(std::uint32_t b) { return buffersOf(*list)[b]; }
    float* allocate(std::uint32_t b, std::size_t floats)
    {
        data[b].reset(new float[floats]); // non-null even for no floats
        sizes[b] = floats;
        return data[b].get();
    }
};

// The rules, one frame at a time.
struct Model {
    std::vector<float> samples;
    std::uint32_t capacity;
    std::uint64_t framesWritten = 0, framesRead = 0;

    explicit Model(std::uint32_t capacity) : samples(2 * std::size_t(capacity)), capacity(capacity) {}

    void reset()
    {
        std::fill(samples.begin(), samples.end(), 0.0f);
        framesWritten = framesRead = 0;
    }

    void write(const AudioBufferList& list, std::uint32_t frames)
    {
        const std::uint32_t skip = frames >= capacity ? frames - capacity : 0;
        const std::uint32_t count = frames >= capacity ? capacity : frames;
        const std::uint64_t w = framesWritten, end = w + count;
        if (end - framesRead > capacity)
            framesRead = end - capacity;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t f = skip + i;
            float leftSum = 0.0f, rightSum = 0.0f;
            std::uint32_t leftCount = 0, rightCount = 0, g = 0;
            for (std::uint32_t b = 0; b < list.mNumberBuffers; ++b) {
                const AudioBuffer& buffer = buffersOf(list)[b];
                for (std::uint32_t c = 0; c < buffer.mNumberChannels; ++c, ++g) {
                    if (!buffer.mData)
                        continue;
                    const float x = static_cast<const float*>(buffer.mData)[std::uint32_t(f * buffer.mNumberChannels + c)];
                    if (g % 2 == 0) {
                        leftSum += x;
                        ++leftCount;
                    } else {
                        rightSum += x;
                        ++rightCount;
                    }
                }
            }
            const float left = leftCount ? leftSum / float(leftCount) : 0.0f;
            const float right = rightCount ? rightSum / float(rightCount) : left;
            const std::uint64_t slot = (w + i) % capacity;
            samples[2 * slot] = left;
            samples[2 * slot + 1] = right;
        }
        framesWritten = end;
    }

    static void setOutputSamples(AudioBufferList& list, std::uint32_t i, float left, float right)
    {
        if (list.mNumberBuffers == 0 || !list.mBuffers[0].mData)
            return;
        auto* first = static_cast<float*>(list.mBuffers[0].mData);
        const std::uint32_t n = list.mBuffers[0].mNumberChannels;
        if (n >= 2) {
            first[std::uint32_t(n * i)] = left;
            first[std::uint32_t(n * i + 1)] = right;
            return;
        }
        first[i] = left;
        const AudioBuffer* buffers = buffersOf(list);
        if (list.mNumberBuffers == 1 || !buffers[1].mData)
            return;
        static_cast<float*>(buffers[1].mData)[std::uint32_t(i * buffers[1].mNumberChannels)] = right;
    }

    void read(AudioBufferList& list, std::uint32_t frames)
    {
        const std::uint64_t available = framesWritten - framesRead;
        const std::uint32_t delivered = available < frames ? std::uint32_t(available) : frames;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::uint64_t slot = (framesRead + i) % capacity;
            if (i < delivered)
                setOutputSamples(list, i, samples[2 * slot], samples[2 * slot + 1]);
            else
                setOutputSamples(list, i, 0.0f, 0.0f);
        }
        framesRead += delivered;
    }
};

std::uint32_t pickFrames(Bytes& in, std::uint32_t capacity)
{
    switch (in.below(8)) {
    case 0:
        return capacity - 1 + in.below(3); // around a full ring
    case 1:
        return in.below(3 * capacity + 8); // long runs, overlong writes
    default:
        return in.below(24);
    }
}

// An input list of up to four buffers; each non-null one holds exactly
// `frames` frames of its channel count.
List makeInput(Bytes& in, std::uint32_t frames)
{
    List list(in.below(5));
    Samples samples(in.byte() * 2654435761u + frames);
    const bool raw = in.below(4) == 0;
    for (std::uint32_t b = 0; b < list.list->mNumberBuffers; ++b) {
        const std::uint32_t channels = in.below(5);
        list.entry(b) = {channels, 0, nullptr};
        if (in.below(4) == 0)
            continue;
        const std::size_t floats = std::size_t(frames) * channels;
        float* data = list.allocate(b, floats);
        for (std::size_t k = 0; k < floats; ++k)
            data[k] = samples.next(raw);
        list.entry(b).mData = data;
        list.entry(b).mDataByteSize = std::uint32_t(floats * sizeof(float));
    }
    return list;
}

// Two identical output lists of up to three buffers, each buffer holding
// exactly what `frames` frames of its layout need; buffer 1 may overlap
// buffer 0. Both start out with the same non-silent pattern.
struct Outputs {
    List actual, expected;
};

Outputs makeOutputs(Bytes& in, std::uint32_t frames)
{
    const std::uint32_t buffers = in.below(4);
    std::uint32_t channels[3] = {in.below(5), in.below(4), in.below(3)};
    bool present[3] = {in.below(5) != 0, in.below(5) != 0, in.below(2) != 0};
    const bool alias = in.below(4) == 0 && buffers >= 2 && present[0] && present[1] && channels[0] <= 1;
    const std::uint32_t aliasOffset = in.below(3);

    const auto need = [&](std::uint32_t b) -> std::size_t {
        if (frames == 0)
            return 0;
        if (b == 0)
            return std::size_t(frames) * (channels[0] >= 2 ? channels[0] : 1);
        if (b == 1 && channels[0] <= 1)
            return std::size_t(frames - 1) * channels[1] + 1;
        return 0;
    };

    Outputs outputs{List(buffers), List(buffers)};
    for (List* list : {&outputs.actual, &outputs.expected}) {
        for (std::uint32_t b = 0; b < buffers; ++b) {
            list->entry(b) = {channels[b], 0, nullptr};
            if (!present[b] || (alias && b == 1))
                continue;
            std::size_t floats = need(b);
            if (alias && b == 0)
                floats = std::max(floats, aliasOffset + need(1));
            float* data = list->allocate(b, floats);
            for (std::size_t k = 0; k < floats; ++k)
                data[k] = -7.5f - float(k % 13);
            list->entry(b).mData = data;
            list->entry(b).mDataByteSize = std::uint32_t(floats * sizeof(float));
        }
        if (alias)
            list->entry(1).mData = list->data[0].get() + aliasOffset;
    }
    return outputs;
}

void checkStorage(const VLMAudioRingBuffer* ring, const Model& model)
{
    for (std::uint32_t slot = 0; slot < model.capacity; ++slot) {
        float left, right;
        VLMAudioRingBufferStoredFrame(ring, slot, &left, &right);
        check(same(left, model.samples[2 * std::size_t(slot)]) && same(right, model.samples[2 * std::size_t(slot) + 1]),
              "stored frame");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes in(data, size);
    static constexpr std::uint32_t capacities[] = {1, 2, 3, 4, 5, 7, 8, 13, 16, 61, 64, 509, 1024, 4096};
    const std::uint32_t capacity = capacities[in.below(std::size(capacities))];
    VLMAudioRingBuffer* ring = VLMAudioRingBufferCreate(capacity);
    check(ring != nullptr, "create");
    Model model(capacity);

    for (int step = 0; step < 48 && !in.empty(); ++step) {
        switch (in.below(10)) {
        case 0:
            VLMAudioRingBufferReset(ring);
            model.reset();
            break;
        case 1:
        case 2:
        case 3:
        case 4: {
            const std::uint32_t frames = pickFrames(in, capacity);
            List input = makeInput(in, frames);
            VLMAudioRingBufferWrite(ring, input.list, frames);
            if (frames > 0)
                model.write(*input.list, frames);
            break;
        }
        default: {
            const std::uint32_t frames = pickFrames(in, capacity);
            Outputs outputs = makeOutputs(in, frames);
            VLMAudioRingBufferRead(ring, outputs.actual.list, frames);
            if (frames > 0)
                model.read(*outputs.expected.list, frames);
            for (std::size_t b = 0; b < outputs.actual.data.size(); ++b) {
                check(same(outputs.actual.data[b].get(), outputs.expected.data[b].get(), outputs.actual.sizes[b]),
                      "output samples");
            }
            break;
        }
        }
        check(VLMAudioRingBufferFramesWritten(ring) == model.framesWritten, "framesWritten");
        check(VLMAudioRingBufferFramesRead(ring) == model.framesRead, "framesRead");
    }
    checkStorage(ring, model);
    VLMAudioRingBufferDestroy(ring);
    return 0;
}
