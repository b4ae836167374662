// The backlog limiter on a ring buffer fed and read on one simulated time
// line: a producer and a consumer with their own buffer sizes and clocks.

#include "Support/StereoReader.h"
#include "VLMAudioBacklogLimiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

namespace {

constexpr double rate = 48000;

struct Schedule {
    const char* name;
    std::uint32_t producerFrames, consumerFrames;
    double producerClockErrorPPM = 0;
};

struct Outcome {
    std::uint64_t missingFrames = 0;   // read after the first second and not there
    std::uint32_t mostLeftBehind = 0;  // by any read, the first included
};

// The producer starts at 0; the consumer reads from `consumerStart` on, and
// at equal times the producer goes first, as capture does before playback.
void PrintTo(const Schedule& schedule, std::ostream* out) { *out << schedule.name; }

Outcome run(const Schedule& schedule, double consumerStart, double seconds)
{
    RingBufferHolder ring;
    VLMAudioBacklogLimiter limiter;
    std::vector<float> silence(schedule.producerFrames, 0.0f);
    AudioBufferList input{1, {{1, std::uint32_t(silence.size() * sizeof(float)), silence.data()}}};
    const double producerPeriod = schedule.producerFrames / (rate * (1 + schedule.producerClockErrorPPM * 1e-6));
    const double consumerPeriod = schedule.consumerFrames / rate;
    Outcome outcome;
    std::uint64_t writes = 1, reads = 1;
    for (;;) {
        const double write = double(writes) * producerPeriod;
        const double read = consumerStart + double(reads) * consumerPeriod;
        if (std::min(write, read) > seconds)
            break;
        if (write <= read) {
            VLMAudioRingBufferWrite(ring.get(), &input, schedule.producerFrames);
            ++writes;
            continue;
        }
        const std::uint32_t taken = limiter.willRead(ring.get(), schedule.consumerFrames);
        const std::uint32_t available = VLMAudioRingBufferAvailableFrames(ring.get());
        if (read > consumerStart + 1.0 && std::min(available, taken) < schedule.consumerFrames)
            outcome.missingFrames += schedule.consumerFrames - std::min(available, taken);
        if (available > taken)
            outcome.mostLeftBehind = std::max(outcome.mostLeftBehind, available - taken);
        readStereo(ring.get(), taken);
        ++reads;
    }
    return outcome;
}

class VLMAudioBacklogLimiterTest : public testing::TestWithParam<Schedule> {};

// Whatever the two buffer sizes and clocks, after a start long enough to fill
// the ring: nothing waits longer than one device buffer, and no read runs dry
// that the producer's pace did not force.
TEST_P(VLMAudioBacklogLimiterTest, KeepsTheBacklogWithinOneBufferWithoutStarvingTheReader)
{
    const Schedule& schedule = GetParam();
    constexpr double seconds = 60, consumerStart = 2;
    const Outcome outcome = run(schedule, consumerStart, seconds);
    EXPECT_LE(outcome.mostLeftBehind, std::max(schedule.producerFrames, schedule.consumerFrames));
    // A slow producer leaves the reader short by its shortfall, give or take a buffer.
    const double shortfall = std::max(0.0, -schedule.producerClockErrorPPM * 1e-6) * rate * (seconds - consumerStart);
    EXPECT_LE(double(outcome.missingFrames), shortfall + schedule.producerFrames);
}

const Schedule schedules[] = {
    {"InStep", 512, 512},
    {"LargerDeliveries", 1024, 480},
    {"SmallerDeliveries", 480, 1024},
    {"SlowlyBeating", 512, 441},
    {"SlowlyBeatingTheOtherWay", 441, 512},
    {"FastProducer", 512, 512, 500},
    {"FastProducerBeating", 333, 480, 500},
    {"SlowProducer", 480, 480, -1000},
};

INSTANTIATE_TEST_SUITE_P(, VLMAudioBacklogLimiterTest, testing::ValuesIn(schedules),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VLMAudioBacklogLimiter, TheFirstReadKeepsOnlyTheNewestFramesItTakes)
{
    RingBufferHolder ring(64);
    std::vector<float> samples(40);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(i);
    AudioBufferList input{1, {{1, std::uint32_t(samples.size() * sizeof(float)), samples.data()}}};
    VLMAudioRingBufferWrite(ring.get(), &input, 40);
    VLMAudioBacklogLimiter limiter;
    limiter.willRead(ring.get(), 8);
    EXPECT_EQ(limiter.skippedFrames(), 32u);
    EXPECT_EQ(readStereo(ring.get(), 8).left, std::vector<float>(samples.end() - 8, samples.end()));
}

// A producer whose deliveries come early or late by up to most of its period
// (a client thread woken unevenly), at the consumer's rate but not necessarily
// its buffer size. Only reads can find out how late deliveries come: after
// the first second at most two run short (one late delivery before the
// lateness shows, and the read that keeps a delivery in reserve; 23 and 41
// ran short when the limiter skipped the reserve away), no frame is skipped
// (a jump would be a click) and the backlog stays within three buffers.
class VLMAudioBacklogLimiterJitterTest : public testing::TestWithParam<Schedule> {};

TEST_P(VLMAudioBacklogLimiterJitterTest, AJitteryProducerLosesNoFrameAndSoonStopsRunningDry)
{
    const Schedule& schedule = GetParam();
    for (const double jitter : {0.5, 0.95}) {
        SCOPED_TRACE(jitter);
        RingBufferHolder ring;
        VLMAudioBacklogLimiter limiter;
        std::mt19937 random(42);
        std::uniform_real_distribution<double> early(-jitter / 2, jitter / 2);
        std::vector<float> ramp(schedule.producerFrames);
        AudioBufferList input{1, {{1, std::uint32_t(ramp.size() * sizeof(float)), ramp.data()}}};
        float produced = 0;
        const double producerPeriod = schedule.producerFrames / rate, consumerPeriod = schedule.consumerFrames / rate;
        const double consumerStart = 0.5, seconds = 30;
        double nextWrite = (1 + early(random)) * producerPeriod;
        std::uint64_t writes = 1, reads = 1, jumps = 0, shortReads = 0;
        std::uint32_t mostLeftBehind = 0;
        float last = -1;
        for (;;) {
            const double read = consumerStart + double(reads) * consumerPeriod;
            if (std::min(nextWrite, read) > seconds)
                break;
            if (nextWrite <= read) {
                for (float& sample : ramp)
                    sample = produced++;
                VLMAudioRingBufferWrite(ring.get(), &input, schedule.producerFrames);
                nextWrite = (double(++writes) + early(random)) * producerPeriod;
                continue;
            }
            const std::uint32_t taken = limiter.willRead(ring.get(), schedule.consumerFrames);
            const std::uint32_t available = VLMAudioRingBufferAvailableFrames(ring.get());
            const std::uint32_t delivered = std::min(available, taken);
            if (read > consumerStart + 1.0) {
                shortReads += delivered < schedule.consumerFrames;
                mostLeftBehind = std::max(mostLeftBehind, available - delivered);
            }
            const std::vector<float> left = readStereo(ring.get(), taken).left;
            for (std::uint32_t n = 0; n < delivered; ++n) {
                jumps += last >= 0 && left[n] != last + 1;
                last = left[n];
            }
            ++reads;
        }
        EXPECT_EQ(jumps, 0u);
        EXPECT_LE(shortReads, 2u);
        EXPECT_LE(mostLeftBehind, 3 * std::max(schedule.producerFrames, schedule.consumerFrames));
    }
}

const Schedule jitterySchedules[] = {
    {"InStep", 256, 256},
    {"SmallerDeliveries", 480, 1024},
    {"LargerDeliveries", 1024, 480},
    {"SlowlyBeating", 512, 441},
};

INSTANTIATE_TEST_SUITE_P(, VLMAudioBacklogLimiterJitterTest, testing::ValuesIn(jitterySchedules),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
