// Drives the ring buffer with arbitrary buffer lists, frame counts and call
// sequences. Buffers are sized to exactly what the caller limits promise, so
// the sanitizers catch any access beyond them; the frame counters are checked
// against the overwrite-the-oldest rule after every call.

#include "VLMAudioRingBuffer.h"
#include "VLMAudioRingBufferInspection.h"

#include "Support/BufferLists.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "ring buffer breaks its rule: %s\n", what);
        std::abort();
    }
}

// Consumes the fuzzer's bytes; yields zeros once they run out.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    std::uint32_t below(std::uint32_t bound)
    {
        std::uint32_t value = byte();
        if (bound > 256)
            value = value << 8 | byte();
        return value % bound;
    }

private:
    std::uint8_t byte()
    {
        if (size_ == 0)
            return 0;
        --size_;
        return *data_++;
    }
    const std::uint8_t* data_;
    std::size_t size_;
};

// Up to four buffers of up to four channels, some without data, each holding
// exactly `frames` frames of its channel count (an output's second buffer
// only what VLMAudioRingBufferSetOutputSamples writes into it).
BufferList makeList(Bytes& in, std::uint32_t frames, bool output)
{
    std::vector<BufferList::Entry> entries(in.below(5));
    for (std::size_t b = 0; b < entries.size(); ++b) {
        entries[b].channels = in.below(5);
        if (in.below(4) == 0)
            continue;
        std::size_t floats = std::size_t(frames) * entries[b].channels;
        if (output && b == 0)
            floats = std::size_t(frames) * std::max(entries[0].channels, 1u);
        else if (output && b == 1)
            floats = frames == 0 ? 0 : std::size_t(frames - 1) * entries[1].channels + 1;
        entries[b].samples.assign(floats, 0.25f * float(b + 1));
        entries[b].hasData = true;
    }
    return BufferList::owning(std::move(entries));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes in(data, size);
    static constexpr std::uint32_t capacities[] = {1, 2, 3, 7, 16, 61, 1024};
    const std::uint32_t capacity = capacities[in.below(std::size(capacities))];
    VLMAudioRingBuffer* ring = VLMAudioRingBufferCreate(capacity);
    check(ring != nullptr, "create");
    std::uint64_t written = 0, read = 0;

    for (int step = 0; step < 48 && !in.empty(); ++step) {
        const std::uint32_t frames = in.below(8) == 0 ? in.below(3 * capacity + 8) : in.below(24);
        switch (in.below(8)) {
        case 0:
            VLMAudioRingBufferReset(ring);
            written = read = 0;
            break;
        case 1:
            VLMAudioRingBufferSkip(ring, frames);
            read += std::min<std::uint64_t>(written - read, frames);
            break;
        case 2:
        case 3:
        case 4: {
            BufferList input = makeList(in, frames, false);
            VLMAudioRingBufferWrite(ring, input.get(), frames);
            written += std::min(frames, capacity);
            read = std::max(read, written > capacity ? written - capacity : 0);
            break;
        }
        default: {
            BufferList output = makeList(in, frames, true);
            VLMAudioRingBufferRead(ring, output.get(), frames);
            read += std::min<std::uint64_t>(written - read, frames);
            break;
        }
        }
        check(VLMAudioRingBufferFramesWritten(ring) == written, "frames written");
        check(VLMAudioRingBufferFramesRead(ring) == read, "frames read");
        check(VLMAudioRingBufferAvailableFrames(ring) == written - read, "available frames");
    }
    VLMAudioRingBufferDestroy(ring);
    return 0;
}
