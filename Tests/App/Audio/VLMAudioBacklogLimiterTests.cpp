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
        limiter.willRead(ring.get(), schedule.consumerFrames);
        const std::uint32_t available = VLMAudioRingBufferAvailableFrames(ring.get());
        if (read > consumerStart + 1.0 && available < schedule.consumerFrames)
            outcome.missingFrames += schedule.consumerFrames - available;
        if (available > schedule.consumerFrames)
            outcome.mostLeftBehind = std::max(outcome.mostLeftBehind, available - schedule.consumerFrames);
        readStereo(ring.get(), schedule.consumerFrames);
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

// A producer at the consumer's own rate and buffer size whose deliveries come
// early or late by up to a fraction of its period (a client thread woken
// unevenly): what the consumer reads is the producer's signal without a frame
// skipped (a jump would be a click), and no read runs dry.
TEST(VLMAudioBacklogLimiter, AJitteryProducerInStepLosesNoFrameAndNeverRunsDry)
{
    constexpr std::uint32_t frames = 256;
    for (const double jitter : {0.5, 0.95}) {
        SCOPED_TRACE(jitter);
        RingBufferHolder ring;
        VLMAudioBacklogLimiter limiter;
        std::mt19937 random(42);
        std::uniform_real_distribution<double> early(-jitter / 2, jitter / 2);
        std::vector<float> ramp(frames);
        AudioBufferList input{1, {{1, std::uint32_t(ramp.size() * sizeof(float)), ramp.data()}}};
        float produced = 0;
        const double period = frames / rate, consumerStart = 0.5, seconds = 30;
        double nextWrite = (1 + early(random)) * period;
        std::uint64_t writes = 1, reads = 1, jumps = 0, dryReads = 0;
        float last = -1;
        for (;;) {
            const double read = consumerStart + double(reads) * period;
            if (std::min(nextWrite, read) > seconds)
                break;
            if (nextWrite <= read) {
                for (float& sample : ramp)
                    sample = produced++;
                VLMAudioRingBufferWrite(ring.get(), &input, frames);
                nextWrite = (double(++writes) + early(random)) * period;
                continue;
            }
            limiter.willRead(ring.get(), frames);
            dryReads += VLMAudioRingBufferAvailableFrames(ring.get()) < frames;
            for (float sample : readStereo(ring.get(), frames).left) {
                jumps += last >= 0 && sample != last + 1;
                last = sample;
            }
            ++reads;
        }
        EXPECT_EQ(jumps, 0u);
        EXPECT_EQ(dryReads, 0u);
    }
}

} // namespace
