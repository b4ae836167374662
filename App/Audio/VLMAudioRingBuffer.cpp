#include "VLMAudioRingBuffer.h"

#include "VLMAudioRingBufferInspection.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// One stereo frame per 64-bit word, left sample first in memory. A single
// relaxed atomic store or load then moves a whole frame: the producer may
// overwrite slots the consumer is reading during an overrun, so every slot
// access must be atomic, and a word per frame halves the atomic operations
// of the hot loops (and never tears a frame).
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

// GNU vector types (GCC and Clang): four samples per operation in the
// layouts that need arithmetic or shuffling. The atomic slot stores stay
// scalar; compilers do not vectorise atomics.
using Floats4 = float __attribute__((vector_size(16)));
using Slots2 = Slot __attribute__((vector_size(16)));

inline Floats4 loadFloats4(const float* p)
{
    Floats4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void storeFloats4(float* p, Floats4 v) { std::memcpy(p, &v, sizeof v); }

inline void storeSlots4(Slot* dst, Floats4 low, Floats4 high)
{
    const auto a = std::bit_cast<Slots2>(low);
    const auto b = std::bit_cast<Slots2>(high);
    storeSlot(dst, a[0]);
    storeSlot(dst + 1, a[1]);
    storeSlot(dst + 2, b[0]);
    storeSlot(dst + 3, b[1]);
}

// Whether sample indices up to frames × stride stay below 2^32, so that
// pointer arithmetic gives the same element as 32-bit index arithmetic.
inline bool indicesFit(std::uint32_t frames, std::uint32_t stride)
{
    return std::uint64_t(frames) * stride <= 0x1'0000'0000u;
}

// The producer's view of an input list: which samples feed left and right.
// Common layouts get tight loops; anything else takes the general loop.
// Every path computes exactly what the general one would: each side's sum
// starts at +0.0 (so 0.0f + x, not x: a -0.0 sample comes out as +0.0) and
// division by a count of 1 is exact and skipped.
class DownMix {
public:
    DownMix(const AudioBufferList& list, std::uint32_t frames)
        : buffers_(list.mBuffers), bufferCount_(list.mNumberBuffers)
    {
        // The first contributing channel of each side, in case it is the only one.
        const AudioBuffer* leftBuffer = nullptr;
        const AudioBuffer* rightBuffer = nullptr;
        std::uint32_t leftChannel = 0;
        bool odd = false; // parity of the global number of the buffer's channel 0
        for (std::uint32_t b = 0; b < bufferCount_; ++b) {
            const AudioBuffer& buffer = buffers_[b];
            const std::uint32_t n = buffer.mNumberChannels;
            if (buffer.mData && n > 0) {
                const std::uint64_t evens = n / 2 + (n % 2 != 0 && !odd);
                const std::uint64_t odds = n - evens;
                if (!leftBuffer && evens > 0) {
                    leftBuffer = &buffer;
                    leftChannel = odd ? 1 : 0;
                }
                if (!rightBuffer && odds > 0)
                    rightBuffer = &buffer;
                leftCount_ += evens;
                rightCount_ += odds;
            }
            odd ^= (n % 2 != 0);
        }

        if (leftCount_ == 0 && rightCount_ == 0) {
            kind_ = Kind::silence;
        } else if (leftCount_ == 1 && rightCount_ == 0 && leftBuffer->mNumberChannels == 1) {
            kind_ = Kind::mono;
            left_ = static_cast<const float*>(leftBuffer->mData);
        } else if (leftCount_ == 1 && rightCount_ == 1 && leftBuffer == rightBuffer
                   && leftBuffer->mNumberChannels == 2 && leftChannel == 0 && indicesFit(frames, 2)) {
            kind_ = Kind::interleavedStereo;
            left_ = static_cast<const float*>(leftBuffer->mData);
        } else if (leftCount_ == 1 && rightCount_ == 1 && leftBuffer->mNumberChannels == 1
                   && rightBuffer->mNumberChannels == 1) {
            kind_ = Kind::splitStereo;
            left_ = static_cast<const float*>(leftBuffer->mData);
            right_ = static_cast<const float*>(rightBuffer->mData);
        } else {
            kind_ = Kind::general;
        }
    }

    // Down-mixes source frames first .. first + count - 1 into dst[0 .. count - 1].
    void store(Slot* dst, std::uint32_t first, std::uint32_t count) const
    {
        switch (kind_) {
        case Kind::silence:
            for (std::size_t i = 0; i < count; ++i)
                storeSlot(dst + i, 0);
            break;
        case Kind::mono:
            storeMono(dst, left_ + first, count);
            break;
        case Kind::interleavedStereo:
            storeInterleaved(dst, left_ + std::size_t(first) * 2, count);
            break;
        case Kind::splitStereo:
            storeSplit(dst, left_ + first, right_ + first, count);
            break;
        case Kind::general:
            storeGeneral(dst, first, count);
            break;
        }
    }

private:
    enum class Kind { silence, mono, interleavedStereo, splitStereo, general };

    static void storeMono(Slot* dst, const float* src, std::size_t count)
    {
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const Floats4 x = Floats4{} + loadFloats4(src + i);
            storeSlots4(dst + i, __builtin_shufflevector(x, x, 0, 0, 1, 1), __builtin_shufflevector(x, x, 2, 2, 3, 3));
        }
        for (; i < count; ++i) {
            const float x = 0.0f + src[i];
            storeSlot(dst + i, makeSlot(x, x));
        }
    }

    static void storeInterleaved(Slot* dst, const float* src, std::size_t count)
    {
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4)
            storeSlots4(dst + i, Floats4{} + loadFloats4(src + 2 * i), Floats4{} + loadFloats4(src + 2 * i + 4));
        for (; i < count; ++i)
            storeSlot(dst + i, makeSlot(0.0f + src[2 * i], 0.0f + src[2 * i + 1]));
    }

    static void storeSplit(Slot* dst, const float* left, const float* right, std::size_t count)
    {
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const Floats4 l = Floats4{} + loadFloats4(left + i);
            const Floats4 r = Floats4{} + loadFloats4(right + i);
            storeSlots4(dst + i, __builtin_shufflevector(l, r, 0, 4, 1, 5), __builtin_shufflevector(l, r, 2, 6, 3, 7));
        }
        for (; i < count; ++i)
            storeSlot(dst + i, makeSlot(0.0f + left[i], 0.0f + right[i]));
    }

    // The rule as stated: channels numbered across buffers, even ones to the
    // left, odd ones to the right, summed in buffer then channel order, with
    // 32-bit sample indices.
    void storeGeneral(Slot* dst, std::uint32_t first, std::uint32_t count) const
    {
        const float leftCount = float(leftCount_);
        const float rightCount = float(rightCount_);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t frame = first + i;
            float sums[2] = {0.0f, 0.0f};
            unsigned side = 0;
            for (std::uint32_t b = 0; b < bufferCount_; ++b) {
                const std::uint32_t n = buffers_[b].mNumberChannels;
                if (const auto* data = static_cast<const float*>(buffers_[b].mData)) {
                    for (std::uint32_t c = 0; c < n; ++c)
                        sums[(side + c) & 1] += data[std::uint32_t(frame * n + c)];
                }
                side ^= n & 1;
            }
            const float left = leftCount_ ? sums[0] / leftCount : 0.0f;
            const float right = rightCount_ ? sums[1] / rightCount : left;
            storeSlot(dst + i, makeSlot(left, right));
        }
    }

    const AudioBuffer* buffers_;
    std::uint32_t bufferCount_;
    std::uint64_t leftCount_ = 0;
    std::uint64_t rightCount_ = 0;
    Kind kind_ = Kind::general;
    const float* left_ = nullptr;
    const float* right_ = nullptr;
};

// The consumer's view of an output list: where frame i's two samples go.
// The layouts VLMAudioRingBufferSetOutputSamples distinguishes get their own
// loops; anything unusual (strided right channel, overlapping buffers,
// indices beyond 32 bits) goes through it frame by frame.
class OutputFrames {
public:
    OutputFrames(AudioBufferList& list, std::uint32_t frames) : list_(list)
    {
        const AudioBuffer* buffers = list.mBuffers;
        if (list.mNumberBuffers == 0 || !buffers[0].mData) {
            kind_ = Kind::none;
            return;
        }
        first_ = static_cast<float*>(buffers[0].mData);
        const std::uint32_t n = buffers[0].mNumberChannels;
        if (n >= 2) {
            kind_ = indicesFit(frames, n) ? Kind::interleaved : Kind::perFrame;
            stride_ = n;
        } else if (list.mNumberBuffers == 1 || !buffers[1].mData) {
            kind_ = Kind::leftOnly;
        } else if (buffers[1].mNumberChannels == 1 && !overlap(first_, buffers[1].mData, frames)) {
            kind_ = Kind::split;
            second_ = static_cast<float*>(buffers[1].mData);
        } else {
            kind_ = Kind::perFrame;
        }
    }

    // Stores source(0) .. source(count - 1) as output frames first .. first + count - 1.
    template <class Source>
    void put(std::uint32_t first, std::uint32_t count, Source source) const
    {
        switch (kind_) {
        case Kind::none:
            break;
        case Kind::interleaved:
            if (stride_ == 2)
                putContiguous(first_ + std::size_t(first) * 2, count, source);
            else
                putStrided(first_ + std::size_t(first) * stride_, count, source);
            break;
        case Kind::leftOnly:
            for (std::size_t i = 0; i < count; ++i) {
                float left, right;
                splitSlot(source(i), left, right);
                first_[first + i] = left;
            }
            break;
        case Kind::split:
            putSplit(first_ + first, second_ + first, count, source);
            break;
        case Kind::perFrame:
            for (std::uint32_t i = 0; i < count; ++i) {
                float left, right;
                splitSlot(source(i), left, right);
                VLMAudioRingBufferSetOutputSamples(&list_, std::uint32_t(first + i), left, right);
            }
            break;
        }
    }

private:
    enum class Kind { none, interleaved, leftOnly, split, perFrame };

    static bool overlap(const void* a, const void* b, std::uint32_t frames)
    {
        const auto x = reinterpret_cast<std::uintptr_t>(a);
        const auto y = reinterpret_cast<std::uintptr_t>(b);
        const std::uintptr_t bytes = std::uintptr_t(frames) * sizeof(float);
        return x < y + bytes && y < x + bytes;
    }

    template <class Source>
    static void putContiguous(float* out, std::size_t count, Source source)
    {
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const Slot a = source(i), b = source(i + 1), c = source(i + 2), d = source(i + 3);
            std::memcpy(out + 2 * i, &a, sizeof a);
            std::memcpy(out + 2 * i + 2, &b, sizeof b);
            std::memcpy(out + 2 * i + 4, &c, sizeof c);
            std::memcpy(out + 2 * i + 6, &d, sizeof d);
        }
        for (; i < count; ++i) {
            const Slot a = source(i);
            std::memcpy(out + 2 * i, &a, sizeof a);
        }
    }

    template <class Source>
    void putStrided(float* out, std::size_t count, Source source) const
    {
        for (std::size_t i = 0; i < count; ++i, out += stride_) {
            const Slot a = source(i);
            std::memcpy(out, &a, sizeof a);
        }
    }

    template <class Source>
    static void putSplit(float* left, float* right, std::size_t count, Source source)
    {
        std::size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const Floats4 a = std::bit_cast<Floats4>(Slots2{source(i), source(i + 1)});
            const Floats4 b = std::bit_cast<Floats4>(Slots2{source(i + 2), source(i + 3)});
            storeFloats4(left + i, __builtin_shufflevector(a, b, 0, 2, 4, 6));
            storeFloats4(right + i, __builtin_shufflevector(a, b, 1, 3, 5, 7));
        }
        for (; i < count; ++i)
            splitSlot(source(i), left[i], right[i]);
    }

    AudioBufferList& list_;
    Kind kind_ = Kind::none;
    float* first_ = nullptr;
    float* second_ = nullptr;
    std::uint32_t stride_ = 0;
};

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

    // Slot indices advance from one modulo per call, wrapping at most once.
    const DownMix mix(*input, frames);
    std::uint32_t slot = std::uint32_t(written % capacity);
    for (std::uint32_t done = 0; done < count; slot = 0) {
        const std::uint32_t run = std::min(count - done, capacity - slot);
        mix.store(ringBuffer->slots + slot, skip + done, run);
        done += run;
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

    const OutputFrames out(*output, frames);
    const std::uint32_t capacity = ringBuffer->capacity;
    std::uint32_t slot = std::uint32_t(read % capacity);
    for (std::uint32_t done = 0; done < delivered; slot = 0) {
        const std::uint32_t run = std::min(delivered - done, capacity - slot);
        Slot* src = ringBuffer->slots + slot;
        out.put(done, run, [src](std::size_t i) { return loadSlot(src + i); });
        done += run;
    }
    out.put(delivered, frames - delivered, [](std::size_t) { return Slot{0}; });
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

void VLMAudioRingBufferStoredFrame(const VLMAudioRingBuffer* ringBuffer, std::uint32_t slot, float* left,
                                   float* right)
{
    splitSlot(loadSlot(ringBuffer->slots + slot % ringBuffer->capacity), *left, *right);
}
