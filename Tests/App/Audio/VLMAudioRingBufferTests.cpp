#include "VLMAudioRingBuffer.h"
#include "VLMAudioRingBufferInspection.h"

#include "Support/BufferLists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace {

AudioBuffer entry(std::vector<float>& samples, std::uint32_t channels) { return audioBuffer(samples, channels); }

AudioBuffer nullEntry(std::uint32_t channels) { return {channels, 0, nullptr}; }

using Frame = std::pair<float, float>;
using Frames = std::vector<Frame>;

struct RingBufferDeleter {
    void operator()(VLMAudioRingBuffer* ringBuffer) const { VLMAudioRingBufferDestroy(ringBuffer); }
};
using RingBuffer = std::unique_ptr<VLMAudioRingBuffer, RingBufferDeleter>;

RingBuffer makeRing(std::uint32_t capacity)
{
    RingBuffer ring(VLMAudioRingBufferCreate(capacity));
    EXPECT_NE(ring, nullptr);
    return ring;
}

void writeInterleaved(VLMAudioRingBuffer* ring, const Frames& frames)
{
    std::vector<float> samples;
    for (auto [left, right] : frames) {
        samples.push_back(left);
        samples.push_back(right);
    }
    BufferList list({entry(samples, 2)});
    VLMAudioRingBufferWrite(ring, list.get(), std::uint32_t(frames.size()));
}

// `count` frames numbered from `first`: (k, -k).
Frames numbered(int first, int count)
{
    Frames frames;
    for (int k = first; k < first + count; ++k)
        frames.emplace_back(float(k), float(-k));
    return frames;
}

Frames readInterleaved(VLMAudioRingBuffer* ring, std::uint32_t count)
{
    std::vector<float> samples(2 * count, 99.0f);
    BufferList list({entry(samples, 2)});
    VLMAudioRingBufferRead(ring, list.get(), count);
    Frames frames;
    for (std::uint32_t i = 0; i < count; ++i)
        frames.emplace_back(samples[2 * i], samples[2 * i + 1]);
    return frames;
}

Frames silence(int count) { return Frames(count, Frame{0.0f, 0.0f}); }

Frames operator+(Frames a, const Frames& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::uint64_t available(const VLMAudioRingBuffer* ring)
{
    return VLMAudioRingBufferFramesWritten(ring) - VLMAudioRingBufferFramesRead(ring);
}

TEST(VLMAudioRingBufferLifecycle, CreateRejectsZeroAndCapacitiesWhoseStorageSizeWouldWrap)
{
    EXPECT_EQ(VLMAudioRingBufferCreate(0), nullptr);
    EXPECT_EQ(VLMAudioRingBufferCreate(0x8000'0000u), nullptr);
    EXPECT_EQ(VLMAudioRingBufferCreate(std::numeric_limits<std::uint32_t>::max()), nullptr);
}

TEST(VLMAudioRingBufferLifecycle, CapacityOneHoldsExactlyOneFrame)
{
    auto ring = makeRing(1);
    writeInterleaved(ring.get(), numbered(1, 3));
    EXPECT_EQ(VLMAudioRingBufferFramesWritten(ring.get()), 1u);
    EXPECT_EQ(readInterleaved(ring.get(), 2), numbered(3, 1) + silence(1));
}

TEST(VLMAudioRingBufferLifecycle, NullHandleListOrZeroFramesChangeNothing)
{
    VLMAudioRingBufferDestroy(nullptr);
    VLMAudioRingBufferReset(nullptr);
    VLMAudioRingBufferSetOutputSamples(nullptr, 0, 1.0f, 1.0f);

    std::vector<float> samples(8, 7.0f);
    BufferList list({entry(samples, 2)});
    VLMAudioRingBufferWrite(nullptr, list.get(), 4);
    VLMAudioRingBufferRead(nullptr, list.get(), 4);

    auto ring = makeRing(8);
    VLMAudioRingBufferWrite(ring.get(), nullptr, 4);
    VLMAudioRingBufferWrite(ring.get(), list.get(), 0);
    EXPECT_EQ(VLMAudioRingBufferFramesWritten(ring.get()), 0u);

    writeInterleaved(ring.get(), numbered(1, 2));
    VLMAudioRingBufferRead(ring.get(), nullptr, 4);
    VLMAudioRingBufferRead(ring.get(), list.get(), 0);
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), 0u);
    EXPECT_EQ(samples, std::vector<float>(8, 7.0f));
}

TEST(VLMAudioRingBufferLifecycle, ResetEmptiesTheRing)
{
    auto ring = makeRing(5);
    writeInterleaved(ring.get(), numbered(1, 7));
    readInterleaved(ring.get(), 2);
    VLMAudioRingBufferReset(ring.get());

    EXPECT_EQ(VLMAudioRingBufferFramesWritten(ring.get()), 0u);
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), 0u);
    EXPECT_EQ(readInterleaved(ring.get(), 3), silence(3));

    writeInterleaved(ring.get(), numbered(20, 2));
    EXPECT_EQ(readInterleaved(ring.get(), 3), numbered(20, 2) + silence(1));
}

TEST(VLMAudioRingBufferFlow, OverlongWriteKeepsOnlyTheLastCapacityFrames)
{
    auto ring = makeRing(4);
    writeInterleaved(ring.get(), numbered(0, 10));
    EXPECT_EQ(readInterleaved(ring.get(), 8), numbered(6, 4) + silence(4));
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), VLMAudioRingBufferFramesWritten(ring.get()));
}

TEST(VLMAudioRingBufferFlow, OverrunPushesOutTheOldestFrames)
{
    auto ring = makeRing(4);
    writeInterleaved(ring.get(), numbered(0, 3));
    writeInterleaved(ring.get(), numbered(3, 3));
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), 2u);
    EXPECT_EQ(available(ring.get()), 4u);
    EXPECT_EQ(readInterleaved(ring.get(), 4), numbered(2, 4));
}

TEST(VLMAudioRingBufferFlow, UnderrunPadsWithSilenceAndConsumesOnlyDeliveredFrames)
{
    auto ring = makeRing(8);
    EXPECT_EQ(readInterleaved(ring.get(), 3), silence(3));
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), 0u);

    writeInterleaved(ring.get(), numbered(1, 3));
    EXPECT_EQ(readInterleaved(ring.get(), 5), numbered(1, 3) + silence(2));
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), 3u);
}

TEST(VLMAudioRingBufferFlow, ReadIntoAListWithoutDataStillConsumesFrames)
{
    auto ring = makeRing(4);
    writeInterleaved(ring.get(), numbered(1, 3));
    BufferList list({nullEntry(2)});
    VLMAudioRingBufferRead(ring.get(), list.get(), 2);
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), 2u);
    EXPECT_EQ(readInterleaved(ring.get(), 1), numbered(3, 1));
}

TEST(VLMAudioRingBufferFlow, SkipConsumesTheOldestFramesWithoutDeliveringThem)
{
    auto ring = makeRing(4);
    EXPECT_EQ(VLMAudioRingBufferAvailableFrames(ring.get()), 0u);
    writeInterleaved(ring.get(), numbered(0, 6));
    EXPECT_EQ(VLMAudioRingBufferAvailableFrames(ring.get()), 4u);
    VLMAudioRingBufferSkip(ring.get(), 1);
    EXPECT_EQ(VLMAudioRingBufferAvailableFrames(ring.get()), 3u);
    EXPECT_EQ(readInterleaved(ring.get(), 1), numbered(3, 1));
    VLMAudioRingBufferSkip(ring.get(), 9);
    EXPECT_EQ(VLMAudioRingBufferFramesRead(ring.get()), VLMAudioRingBufferFramesWritten(ring.get()))
        << "never past what was written";
    writeInterleaved(ring.get(), numbered(6, 1));
    EXPECT_EQ(readInterleaved(ring.get(), 2), numbered(6, 1) + silence(1));
    VLMAudioRingBufferSkip(nullptr, 1);
    EXPECT_EQ(VLMAudioRingBufferAvailableFrames(nullptr), 0u);
}

// Down-mix: each case gives the layout and the samples of frame 0; frames 1
// and 2 carry the same samples times 2 and 4, so exact results scale too and
// a wrong frame stride shows.
struct DownMixCase {
    const char* name;
    std::vector<std::vector<float>> buffers; // interleaved samples of frame 0; empty = null data
    std::vector<std::uint32_t> channels;
    Frame expected;
};

class VLMAudioRingBufferDownMix : public testing::TestWithParam<DownMixCase> {};

TEST_P(VLMAudioRingBufferDownMix, FoldsChannelsIntoLeftAndRight)
{
    const DownMixCase& c = GetParam();
    std::vector<std::vector<float>> data(c.channels.size());
    std::vector<AudioBuffer> entries;
    for (std::size_t b = 0; b < c.channels.size(); ++b) {
        for (float scale : {1.0f, 2.0f, 4.0f}) {
            for (float sample : c.buffers[b])
                data[b].push_back(sample * scale);
        }
        entries.push_back(c.buffers[b].empty() ? nullEntry(c.channels[b]) : entry(data[b], c.channels[b]));
    }

    auto ring = makeRing(16);
    BufferList list(entries);
    VLMAudioRingBufferWrite(ring.get(), list.get(), 3);
    EXPECT_EQ(VLMAudioRingBufferFramesWritten(ring.get()), 3u);

    const auto [left, right] = c.expected;
    const Frames frames = readInterleaved(ring.get(), 3);
    ASSERT_EQ(frames.size(), 3u);
    for (int f = 0; f < 3; ++f) {
        const float scale = float(1 << f);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(frames[f].first), std::bit_cast<std::uint32_t>(left * scale)) << "frame " << f;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(frames[f].second), std::bit_cast<std::uint32_t>(right * scale)) << "frame " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, VLMAudioRingBufferDownMix,
    testing::Values(
        DownMixCase{"MonoLandsOnBothSides", {{0.5f}}, {1}, {0.5f, 0.5f}},
        DownMixCase{"InterleavedStereoPassesBitExactly", {{0.25f, -0.75f}}, {2}, {0.25f, -0.75f}},
        DownMixCase{"SplitStereoPassesUnchanged", {{0.25f}, {-0.75f}}, {1, 1}, {0.25f, -0.75f}},
        DownMixCase{"NullSecondBufferRepeatsLeft", {{0.3f}, {}}, {1, 1}, {0.3f, 0.3f}},
        DownMixCase{"NullFirstBufferLeavesLeftSilent", {{}, {0.6f}}, {1, 1}, {0.0f, 0.6f}},
        DownMixCase{"FourChannelsAverageInPairs", {{1, 2, 3, 4}}, {4}, {2.0f, 3.0f}},
        DownMixCase{"ThreeChannelsLeaveRightAlone", {{1, 2, 4}}, {3}, {2.5f, 2.0f}},
        DownMixCase{"ChannelNumbersRunAcrossBuffers", {{1}, {2, 4}}, {1, 2}, {2.5f, 2.0f}},
        DownMixCase{"NullBufferStillTakesItsChannelNumbers", {{}, {2, 4}}, {1, 2}, {4.0f, 2.0f}},
        DownMixCase{"BufferWithoutChannelsContributesNothing", {{9}, {0.5f}}, {0, 1}, {0.5f, 0.5f}},
        DownMixCase{"NoBuffersWriteSilence", {}, {}, {0.0f, 0.0f}},
        DownMixCase{"SumsStartAtPositiveZero", {{-0.0f, -0.0f}}, {2}, {0.0f, 0.0f}}),
    [](const testing::TestParamInfo<DownMixCase>& info) { return info.param.name; });

// Output layouts: where one stored frame goes in each kind of list.
struct OutputCase {
    const char* name;
    std::vector<std::uint32_t> channels;      // per buffer
    std::vector<bool> hasData;                // per buffer
    std::vector<std::vector<float>> expected; // frame 1 stored as (1, 2) into three frames of -1
};

class VLMAudioRingBufferOutput : public testing::TestWithParam<OutputCase> {};

TEST_P(VLMAudioRingBufferOutput, SetOutputSamplesPlacesOneFrame)
{
    const OutputCase& c = GetParam();
    std::vector<std::vector<float>> data(c.channels.size());
    std::vector<AudioBuffer> entries;
    for (std::size_t b = 0; b < c.channels.size(); ++b) {
        data[b].assign(c.hasData[b] ? 3 * std::max(c.channels[b], 1u) : 0, -1.0f);
        entries.push_back(c.hasData[b] ? entry(data[b], c.channels[b]) : nullEntry(c.channels[b]));
    }
    BufferList list(entries);
    VLMAudioRingBufferSetOutputSamples(list.get(), 1, 1.0f, 2.0f);
    EXPECT_EQ(data, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, VLMAudioRingBufferOutput,
    testing::Values(
        OutputCase{"MonoTakesOnlyLeft", {1}, {true}, {{-1, 1, -1}}},
        OutputCase{"InterleavedStereo", {2}, {true}, {{-1, -1, 1, 2, -1, -1}}},
        OutputCase{"SplitStereo", {1, 1}, {true, true}, {{-1, 1, -1}, {-1, 2, -1}}},
        OutputCase{"NullSecondBufferDropsRight", {1, 1}, {true, false}, {{-1, 1, -1}, {}}},
        OutputCase{"NullFirstBufferWritesNothing", {1, 1}, {false, true}, {{}, {-1, -1, -1}}},
        OutputCase{"ThirdBufferIsNeverWritten", {1, 1, 1}, {true, true, true},
                   {{-1, 1, -1}, {-1, 2, -1}, {-1, -1, -1}}}),
    [](const testing::TestParamInfo<OutputCase>& info) { return info.param.name; });

} // namespace
