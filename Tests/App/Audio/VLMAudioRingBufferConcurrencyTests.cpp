// A producer and a consumer thread on one ring buffer, with random block
// sizes and layouts on both sides. Frame k carries (k, -k), so the consumer
// can tell a frame the producer wrote from silence, a torn or invented one.
// Also run under ThreadSanitizer, which checks the slot and counter accesses.

#include "VLMAudioRingBuffer.h"
#include "VLMAudioRingBufferInspection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t maxBlock = 600;

// Stereo blocks in either layout the devices deliver: one interleaved buffer
// or two mono buffers.
class StereoBlock {
public:
    StereoBlock() : interleaved_(2 * maxBlock), left_(maxBlock), right_(maxBlock) {}

    AudioBufferList* list(bool split, std::uint32_t frames)
    {
        if (split) {
            lists_.two.mNumberBuffers = 2;
            lists_.two.mBuffers[0] = {1, frames * 4, left_.data()};
            lists_.second = {1, frames * 4, right_.data()};
            return &lists_.two;
        }
        one_ = {1, {{2, frames * 8, interleaved_.data()}}};
        return &one_;
    }

    void fill(bool split, std::uint32_t frames, std::uint32_t first)
    {
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float k = float(first + i);
            (split ? left_[i] : interleaved_[2 * i]) = k;
            (split ? right_[i] : interleaved_[2 * i + 1]) = -k;
        }
    }

    float left(bool split, std::uint32_t i) const { return split ? left_[i] : interleaved_[2 * i]; }
    float right(bool split, std::uint32_t i) const { return split ? right_[i] : interleaved_[2 * i + 1]; }

private:
    std::vector<float> interleaved_, left_, right_;
    AudioBufferList one_{};
    struct {
        AudioBufferList two;
        AudioBuffer second;
    } lists_{};
};

// Writes frames 1 ... total in random blocks on its own thread, until done
// or stopped. It either never overruns the consumer (it polls the counters
// and yields until there is room), or, while frames wait in the ring, it
// runs at most four blocks ahead of the consumer's count of reads that got
// frames: it overruns often but cannot finish before the consumer has run,
// however the threads are scheduled.
class Producer {
public:
    Producer(VLMAudioRingBuffer* ring, std::uint32_t capacity, std::uint32_t total)
        : thread_([=, this] { run(ring, capacity, total, nullptr); })
    {
    }
    Producer(VLMAudioRingBuffer* ring, std::uint32_t total, const std::atomic<std::uint32_t>& reads)
        : thread_([=, this, &reads] { run(ring, 0, total, &reads); })
    {
    }
    ~Producer() { stop(); }

    bool done() const { return done_.load(std::memory_order_acquire); }

    // Stops and joins the thread; returns the number of the last frame written.
    std::uint32_t stop()
    {
        stop_.store(true, std::memory_order_relaxed);
        if (thread_.joinable())
            thread_.join();
        return written_;
    }

private:
    void run(VLMAudioRingBuffer* ring, std::uint64_t capacity, std::uint32_t total,
             const std::atomic<std::uint32_t>* reads)
    {
        std::mt19937 random(7);
        StereoBlock block;
        for (std::uint32_t blocks = 0; written_ < total && !stop_.load(std::memory_order_relaxed);) {
            if (reads && blocks > 4 * reads->load(std::memory_order_relaxed)
                && VLMAudioRingBufferFramesWritten(ring) > VLMAudioRingBufferFramesRead(ring)) {
                std::this_thread::yield();
                continue;
            }
            const std::uint32_t frames = std::min<std::uint32_t>(1 + random() % maxBlock, total - written_);
            if (!reads) {
                // framesRead only grows while nothing overruns, so this room
                // is a lower bound of the real one.
                const std::uint64_t used = VLMAudioRingBufferFramesWritten(ring) - VLMAudioRingBufferFramesRead(ring);
                if (capacity - used < frames) {
                    std::this_thread::yield();
                    continue;
                }
            }
            const bool split = random() % 2;
            block.fill(split, frames, written_ + 1);
            VLMAudioRingBufferWrite(ring, block.list(split, frames), frames);
            written_ += frames;
            ++blocks;
        }
        done_.store(true, std::memory_order_release);
    }

    std::uint32_t written_ = 0;
    std::atomic<bool> done_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct RingBufferDeleter {
    void operator()(VLMAudioRingBuffer* ring) const { VLMAudioRingBufferDestroy(ring); }
};

// Reads one random block of up to `longest` frames and checks it: whole
// frames the producer can have written (1 ... total), from consecutive slots
// of a ring of `capacity` frames (as long as every write fits the ring),
// followed only by silence. Returns the frame
// numbers delivered.
std::vector<std::uint32_t> readBlock(VLMAudioRingBuffer* ring, std::uint32_t capacity, std::mt19937& random,
                                     StereoBlock& block, std::uint32_t total, std::uint32_t longest)
{
    const bool split = random() % 2;
    const std::uint32_t frames = 1 + random() % longest;
    VLMAudioRingBufferRead(ring, block.list(split, frames), frames);
    std::vector<std::uint32_t> delivered;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float left = block.left(split, i), right = block.right(split, i);
        if (left == 0.0f && right == 0.0f)
            continue;
        EXPECT_EQ(delivered.size(), i) << "a frame after silence";
        EXPECT_TRUE(left >= 1.0f && left <= float(total) && float(std::uint32_t(left)) == left && right == -left)
            << "frame (" << left << ", " << right << ")";
        const auto k = std::uint32_t(left);
        if (!delivered.empty()) {
            EXPECT_EQ((std::int64_t(k) - delivered.back() - 1) % capacity, 0) << k << " after " << delivered.back();
        }
        delivered.push_back(k);
    }
    return delivered;
}

TEST(VLMAudioRingBufferConcurrency, WithoutOverrunEveryFrameArrivesOnceAndInOrder)
{
    constexpr std::uint32_t total = 2'000'000;
    constexpr std::uint32_t capacity = 4 * maxBlock;
    std::unique_ptr<VLMAudioRingBuffer, RingBufferDeleter> ring(VLMAudioRingBufferCreate(capacity));
    std::mt19937 random(11);
    StereoBlock block;
    std::uint32_t expected = 1;
    {
        Producer producer(ring.get(), capacity, total);
        while (expected <= total && !testing::Test::HasFailure()) {
            const bool finished = producer.done();
            const std::vector<std::uint32_t> frames = readBlock(ring.get(), capacity, random, block, total, maxBlock);
            for (std::uint32_t k : frames)
                ASSERT_EQ(k, expected++);
            if (frames.empty()) {
                ASSERT_FALSE(finished) << "frames from " << expected << " on never arrived";
                std::this_thread::yield();
            }
        }
    }
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), total);
}

// With a small ring and short reads the producer overruns the consumer
// all the time, and the two race on the same slots. Frames are then lost,
// and a read may mix frames of two laps (it can see a slot already rewritten
// and the next one not yet), so order holds only slot by slot; but each
// frame must still be whole and one the producer wrote.
TEST(VLMAudioRingBufferConcurrency, OverrunsDeliverOnlyWholeWrittenFrames)
{
    constexpr std::uint32_t total = 500'000;
    constexpr std::uint32_t capacity = maxBlock + 1; // no write is cut short, so frame k sits in slot k mod capacity
    std::unique_ptr<VLMAudioRingBuffer, RingBufferDeleter> ring(VLMAudioRingBufferCreate(capacity));
    std::mt19937 random(13);
    StereoBlock block;
    std::atomic<std::uint32_t> reads{0};
    std::uint32_t previous = 0;
    bool lost = false;
    Producer producer(ring.get(), total, reads);
    while (!producer.done() && !testing::Test::HasFailure()) {
        const std::vector<std::uint32_t> frames = readBlock(ring.get(), capacity, random, block, total, 64);
        for (std::uint32_t k : frames) {
            lost = lost || k != previous + 1;
            previous = k;
        }
        if (!frames.empty())
            reads.fetch_add(1, std::memory_order_relaxed);
    }
    const std::uint32_t last = producer.stop();
    EXPECT_TRUE(lost) << "the producer never overran the consumer";

    // One more frame restores the bound; what is left is then the newest
    // frames, consecutive and ending with that one.
    block.fill(false, 1, last + 1);
    VLMAudioRingBufferWrite(ring.get(), block.list(false, 1), 1);
    const std::uint64_t available = VLMAudioRingBufferFramesWritten(ring.get()) - VLMAudioRingBufferFramesRead(ring.get());
    EXPECT_LE(available, capacity);
    std::vector<std::uint32_t> rest;
    while (VLMAudioRingBufferFramesRead(ring.get()) < VLMAudioRingBufferFramesWritten(ring.get())) {
        const std::vector<std::uint32_t> frames = readBlock(ring.get(), capacity, random, block, last + 1, maxBlock);
        rest.insert(rest.end(), frames.begin(), frames.end());
    }
    ASSERT_EQ(rest.size(), available);
    for (std::size_t i = 0; i < rest.size(); ++i)
        EXPECT_EQ(rest[i], last + 1 - (rest.size() - 1 - i));
}

} // namespace
