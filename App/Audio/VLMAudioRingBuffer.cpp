#include "VLMAudioRingBuffer.h"

#include "VLMAudioRingBufferInspection.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

// Plain loops, one frame at a time, nothing hand-vectorised. What counts is
// the cost per cycle beside the rest of the data thread's: the common layouts
// (two mono buffers, one stereo buffer) skip the general walk over the buffer
// list, which took 6 to 7 µs per 1,024-frame write and read, against about
// 1 µs now (Benchmarks/RingBufferBenchmark: 125-186 M frames a second before,
// 0.9-1.5 G after).

namespace {

// One stereo frame per 64-bit word, left sample first in memory. A single
// relaxed atomic store or load then moves a whole frame: the producer may
// overwrite slots the consumer is reading during an overrun, so every slot
// access must be atomic, and a word per frame never tears a frame.
using Slot = std::uint64_t;
using SlotRef = std::atomic_ref<Slot>;
static_assert(SlotRef::is_always_lock_free);
static_assert(SlotRef::required_alignment <= alignof(std::max_align_t), "calloc must align the slots");

// 2 × capacity samples must stay countable in 32 bits.
constexpr std::uint32_t capacityLimit = 0x8000'0000u;

inline Slot makeSlot(float left, float right)
{
    const float pair[2] = {left, right};
    Slot slot;
    std::memcpy(&slot, pair, sizeof slot);
    return slot;
}

inline void splitSlot(Slot slot, float& left, float& right)
{
    float pair[2];
    std::memcpy(pair, &slot, sizeof slot);
    left = pair[0];
    right = pair[1];
}

inline void storeSlot(Slot* slot, Slot value) { SlotRef(*slot).store(value, std::memory_order_relaxed); }
inline Slot loadSlot(Slot* slot) { return SlotRef(*slot).load(std::memory_order_relaxed); }

// Frame `frame` of `list` folded to stereo: channels numbered across the
// buffers (a null buffer's channels included), even ones averaged into left,
// odd ones into right, summed in buffer then channel order from +0.0, with
// 32-bit sample indices; without any right channel, right repeats left.
Slot downMix(const AudioBufferList& list, std::uint32_t frame, float leftCount, float rightCount)
{
    float sums[2] = {0.0f, 0.0f};
    unsigned side = 0;
    for (std::uint32_t b = 0; b < list.mNumberBuffers; ++b) {
        const std::uint32_t n = list.mBuffers[b].mNumberChannels;
        if (const auto* data = static_cast<const float*>(list.mBuffers[b].mData)) {
            for (std::uint32_t c = 0; c < n; ++c)
                sums[(side + c) & 1] += data[std::uint32_t(frame * n + c)];
        }
        side ^= n & 1;
    }
    const float left = leftCount > 0 ? sums[0] / leftCount : 0.0f;
    const float right = rightCount > 0 ? sums[1] / rightCount : left;
    return makeSlot(left, right);
}

} // namespace

struct VLMAudioRingBuffer {
    Slot* slots;
    std::uint32_t capacity;
    std::atomic<std::uint64_t> framesWritten;
    std::atomic<std::uint64_t> framesRead;
};

VLMAudioRingBuffer* VLMAudioRingBufferCreate(std::uint32_t capacity)
{
    if (capacity == 0 || capacity >= capacityLimit)
        return nullptr;
    auto* ringBuffer = new (std::nothrow) VLMAudioRingBuffer{};
    if (!ringBuffer)
        return nullptr;
    ringBuffer->slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
    if (!ringBuffer->slots) {
        delete ringBuffer;
        return nullptr;
    }
    ringBuffer->capacity = capacity;
    return ringBuffer;
}

void VLMAudioRingBufferDestroy(VLMAudioRingBuffer* ringBuffer)
{
    if (!ringBuffer)
        return;
    std::free(ringBuffer->slots);
    delete ringBuffer;
}

void VLMAudioRingBufferReset(VLMAudioRingBuffer* ringBuffer)
{
    if (!ringBuffer)
        return;
    std::memset(ringBuffer->slots, 0, std::size_t(ringBuffer->capacity) * sizeof(Slot));
    ringBuffer->framesWritten.store(0, std::memory_order_relaxed);
    ringBuffer->framesRead.store(0, std::memory_order_relaxed);
}

void VLMAudioRingBufferWrite(VLMAudioRingBuffer* ringBuffer, const AudioBufferList* input, std::uint32_t frames)
{
    if (!ringBuffer || !input || frames == 0)
        return;
    const std::uint32_t capacity = ringBuffer->capacity;
    const std::uint32_t skip = frames >= capacity ? frames - capacity : 0;
    const std::uint32_t count = frames - skip;

    const std::uint64_t written = ringBuffer->framesWritten.load(std::memory_order_relaxed);
    const std::uint64_t read = ringBuffer->framesRead.load(std::memory_order_acquire);
    const std::uint64_t end = written + count;
    if (end - read > capacity)
        ringBuffer->framesRead.store(end - capacity, std::memory_order_release);

    // How many channels feed each side: those of buffers with data, by the
    // parity of their number across the list.
    std::uint64_t leftCount = 0, rightCount = 0;
    bool odd = false;
    for (std::uint32_t b = 0; b < input->mNumberBuffers; ++b) {
        const std::uint32_t n = input->mBuffers[b].mNumberChannels;
        if (input->mBuffers[b].mData) {
            const std::uint64_t evens = n / 2 + (n % 2 != 0 && !odd);
            leftCount += evens;
            rightCount += n - evens;
        }
        odd ^= (n % 2 != 0);
    }

    const auto slots = [&](auto frame) {
        Slot* const ring = ringBuffer->slots;
        std::uint32_t slot = std::uint32_t(written % capacity);
        for (std::uint32_t done = 0; done < count;) {
            const std::uint32_t n = std::min(count - done, capacity - slot);
            for (std::uint32_t i = 0; i < n; ++i)
                storeSlot(ring + slot + i, frame(skip + done + i));
            done += n;
            slot = 0;
        }
    };
    // The layouts the capture paths deliver (two mono buffers, one stereo or
    // one mono buffer) fold to the same bits as downMix, one sample at a time,
    // without walking the list for every frame.
    const AudioBuffer* b = input->mBuffers;
    const auto samples = [&](std::uint32_t i) { return static_cast<const float*>(b[i].mData); };
    if (input->mNumberBuffers == 2 && b[0].mNumberChannels == 1 && b[1].mNumberChannels == 1 && samples(0)
        && samples(1)) {
        const float *left = samples(0), *right = samples(1);
        slots([&](std::uint32_t f) { return makeSlot(0.0f + left[f], 0.0f + right[f]); });
    } else if (input->mNumberBuffers == 1 && b[0].mNumberChannels == 2 && samples(0)) {
        const float* pairs = samples(0);
        slots([&](std::uint32_t f) { return makeSlot(0.0f + pairs[2 * f], 0.0f + pairs[2 * f + 1]); });
    } else if (input->mNumberBuffers == 1 && b[0].mNumberChannels == 1 && samples(0)) {
        const float* mono = samples(0);
        slots([&](std::uint32_t f) { return makeSlot(0.0f + mono[f], 0.0f + mono[f]); });
    } else {
        slots([&](std::uint32_t f) { return downMix(*input, f, float(leftCount), float(rightCount)); });
    }
    ringBuffer->framesWritten.store(end, std::memory_order_release);
}

void VLMAudioRingBufferRead(VLMAudioRingBuffer* ringBuffer, AudioBufferList* output, std::uint32_t frames)
{
    if (!ringBuffer || !output || frames == 0)
        return;
    const std::uint64_t read = ringBuffer->framesRead.load(std::memory_order_relaxed);
    const std::uint64_t written = ringBuffer->framesWritten.load(std::memory_order_acquire);
    const auto delivered = std::uint32_t(std::min<std::uint64_t>(written - read, frames));

    const std::uint32_t capacity = ringBuffer->capacity;
    const auto frameAt = [&](auto put) {
        std::uint32_t slot = std::uint32_t(read % capacity);
        for (std::uint32_t done = 0; done < delivered;) {
            const std::uint32_t n = std::min(delivered - done, capacity - slot);
            for (std::uint32_t i = 0; i < n; ++i) {
                float left, right;
                splitSlot(loadSlot(ringBuffer->slots + slot + i), left, right);
                put(done + i, left, right);
            }
            done += n;
            slot = 0;
        }
        for (std::uint32_t i = delivered; i < frames; ++i)
            put(i, 0.0f, 0.0f);
    };
    // The engine's two mono buffers and a stereo buffer get their samples
    // directly; other layouts go through SetOutputSamples, frame by frame.
    AudioBuffer* b = output->mBuffers;
    const auto samples = [&](std::uint32_t i) { return static_cast<float*>(b[i].mData); };
    if (output->mNumberBuffers >= 2 && b[0].mNumberChannels == 1 && b[1].mNumberChannels == 1 && samples(0)
        && samples(1)) {
        float *left = samples(0), *right = samples(1);
        frameAt([&](std::uint32_t i, float l, float r) {
            left[i] = l;
            right[i] = r;
        });
    } else if (output->mNumberBuffers >= 1 && b[0].mNumberChannels == 2 && samples(0)) {
        float* pairs = samples(0);
        frameAt([&](std::uint32_t i, float l, float r) {
            pairs[2 * i] = l;
            pairs[2 * i + 1] = r;
        });
    } else {
        frameAt([&](std::uint32_t i, float l, float r) { VLMAudioRingBufferSetOutputSamples(output, i, l, r); });
    }
    ringBuffer->framesRead.store(read + delivered, std::memory_order_release);
}

std::uint32_t VLMAudioRingBufferAvailableFrames(const VLMAudioRingBuffer* ringBuffer)
{
    if (!ringBuffer)
        return 0;
    const std::uint64_t read = ringBuffer->framesRead.load(std::memory_order_relaxed);
    const std::uint64_t written = ringBuffer->framesWritten.load(std::memory_order_acquire);
    // A stale view of an overrun's adjustment could count more than the ring holds.
    return std::uint32_t(std::min<std::uint64_t>(written - read, ringBuffer->capacity));
}

void VLMAudioRingBufferSkip(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames)
{
    if (!ringBuffer || frames == 0)
        return;
    // The same counter discipline as Read, without touching a sample.
    const std::uint64_t read = ringBuffer->framesRead.load(std::memory_order_relaxed);
    const std::uint64_t written = ringBuffer->framesWritten.load(std::memory_order_acquire);
    const std::uint64_t skipped = std::min<std::uint64_t>(written - read, frames);
    ringBuffer->framesRead.store(read + skipped, std::memory_order_release);
}

void VLMAudioRingBufferSetOutputSamples(AudioBufferList* output, std::uint32_t frameIndex, float left, float right)
{
    if (!output || output->mNumberBuffers == 0)
        return;
    AudioBuffer* buffers = output->mBuffers;
    auto* first = static_cast<float*>(buffers[0].mData);
    if (!first)
        return;
    const std::uint32_t n = buffers[0].mNumberChannels;
    if (n >= 2) {
        first[std::uint32_t(n * frameIndex)] = left;
        first[std::uint32_t(n * frameIndex + 1)] = right;
        return;
    }
    first[frameIndex] = left;
    if (output->mNumberBuffers == 1)
        return;
    if (auto* second = static_cast<float*>(buffers[1].mData))
        second[std::uint32_t(frameIndex * buffers[1].mNumberChannels)] = right;
}

std::uint64_t VLMAudioRingBufferFramesWritten(const VLMAudioRingBuffer* ringBuffer)
{
    return ringBuffer ? ringBuffer->framesWritten.load(std::memory_order_acquire) : 0;
}

std::uint64_t VLMAudioRingBufferFramesRead(const VLMAudioRingBuffer* ringBuffer)
{
    return ringBuffer ? ringBuffer->framesRead.load(std::memory_order_acquire) : 0;
}
