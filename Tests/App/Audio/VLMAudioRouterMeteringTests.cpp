// Level metering: the level scale, the hand-off of the newest level to the
// main thread, and reports of a torn-down graph dropped.

#include "AVAudioPCMBuffer.h"
#include "Support/MainQueue.h"
#include "Support/RouterTest.h"
#include "VLMAudioMeterLevels.h"

#include <limits>
#include <poll.h>
#include <thread>

namespace {

// A buffer whose channel c holds `peaks[c]` once among quiet samples.
std::shared_ptr<AVAudioPCMBuffer> bufferWithPeaks(std::vector<float> peaks, AVAudioFrameCount frames = 256)
{
    auto buffer = std::make_shared<AVAudioPCMBuffer>(
        AVAudioFormat::standardFormatWithSampleRate(48000, AVAudioChannelCount(peaks.size())), frames);
    buffer->setFrameLength(frames);
    for (std::size_t c = 0; c < peaks.size(); ++c) {
        for (AVAudioFrameCount f = 0; f < frames; ++f)
            buffer->floatChannelData()[c][f] = 0.0001f;
        buffer->floatChannelData()[c][frames / 2] = peaks[c];
    }
    return buffer;
}

float level(std::vector<float> peaks) { return VLMAudioRouter::meterLevel(*bufferWithPeaks(std::move(peaks))); }

TEST(VLMAudioRouterMeterLevel, MapsThePeakOntoSixtyDecibels)
{
    EXPECT_EQ(level({1.0f}), 1.0f);
    EXPECT_NEAR(level({0.5f}), 0.8997f, 1e-4);
    EXPECT_NEAR(level({-0.1f}), 0.6667f, 1e-4) << "magnitude, not value";
    EXPECT_NEAR(level({0.01f}), 0.3333f, 1e-4);
    EXPECT_EQ(level({0.001f}), 0.0f);
    EXPECT_EQ(level({0.0002f}), 0.0f);
    EXPECT_EQ(level({4.0f}), 1.0f);
    EXPECT_EQ(level({std::numeric_limits<float>::infinity()}), 1.0f);
}

TEST(VLMAudioRouterMeterLevel, TakesTheLoudestChannelAndIgnoresNaN)
{
    EXPECT_EQ(level({0.1f, 0.5f}), level({0.5f}));
    EXPECT_EQ(level({std::numeric_limits<float>::quiet_NaN(), 0.1f}), level({0.1f}));
}

TEST(VLMAudioRouterMeterLevel, EmptyOrSilentBuffersAreZero)
{
    auto silent = std::make_shared<AVAudioPCMBuffer>(AVAudioFormat::standardFormatWithSampleRate(48000, 2), 64);
    silent->setFrameLength(64);
    EXPECT_EQ(VLMAudioRouter::meterLevel(*silent), 0.0f);
    auto empty = bufferWithPeaks({1.0f});
    empty->setFrameLength(0);
    EXPECT_EQ(VLMAudioRouter::meterLevel(*empty), 0.0f);
}

TEST(VLMAudioMeterLevels, TheMainThreadTakesTheNewestLevelOnceAndOnlyOfItsGeneration)
{
    VLMAudioMeterLevels levels;
    EXPECT_FALSE(levels.take(VLMAudioSource::velmora, 3)) << "nothing measured yet";
    levels.store(VLMAudioSource::velmora, 3, 0.25f, true);
    levels.store(VLMAudioSource::velmora, 3, 0.5f, true);
    levels.store(VLMAudioSource::microphone, 3, 0.0f, true);
    EXPECT_EQ(levels.take(VLMAudioSource::velmora, 3), 0.5f) << "the newest replaces the older";
    EXPECT_FALSE(levels.take(VLMAudioSource::velmora, 3)) << "taken once";
    EXPECT_EQ(levels.take(VLMAudioSource::microphone, 3), 0.0f) << "silence is a level too";

    levels.store(VLMAudioSource::microphone, 3, 0.75f, true);
    EXPECT_FALSE(levels.take(VLMAudioSource::microphone, 4)) << "measured by a torn-down graph";
    EXPECT_FALSE(levels.holdsLevel(VLMAudioSource::microphone)) << "and gone";
}

namespace {

bool readable(int descriptor)
{
    pollfd ready{descriptor, POLLIN, 0};
    return poll(&ready, 1, 0) == 1;
}

} // namespace

// Only a level that changes what the meters show wakes the main thread; the
// wake is cleared before taking, so a level stored after that wakes it again.
TEST(VLMAudioMeterLevels, OnlyLevelsShownDifferentlyMakeTheDescriptorReadable)
{
    VLMAudioMeterLevels levels;
    ASSERT_GE(levels.readyDescriptor(), 0);
    EXPECT_FALSE(readable(levels.readyDescriptor()));
    levels.store(VLMAudioSource::velmora, 1, 0.5f, false);
    EXPECT_FALSE(readable(levels.readyDescriptor()));
    EXPECT_TRUE(levels.holdsLevel(VLMAudioSource::velmora)) << "stored all the same";
    levels.store(VLMAudioSource::microphone, 1, 0.6f, true);
    levels.store(VLMAudioSource::velmora, 1, 0.7f, true);
    EXPECT_TRUE(readable(levels.readyDescriptor()));
    levels.clearReady();
    EXPECT_FALSE(readable(levels.readyDescriptor())) << "however many signals came";
}

class VLMAudioRouterMeteringTest : public RouterTest {
protected:
    VLMAudioRouterMeteringTest()
    {
        system->addApplication("com.apple.Music", SimulatedSignals::sine(440, 0.5f));
        system->setInputSignal(microphone, SimulatedSignals::sine(1000, 0.5f));
    }

    // Waits, without delivering them, until both taps have measured a level.
    bool levelsMeasured() const
    {
        return runMainQueueUntil([&] {
            return router->meterLevelWaiting(VLMAudioSource::velmora)
                && router->meterLevelWaiting(VLMAudioSource::microphone);
        });
    }
};

TEST_F(VLMAudioRouterMeteringTest, BothSourcesReportLevelsOnTheMainThreadWhenTheMetersAskForThem)
{
    makeRouter().start();
    recorder->levels.clear();  // the zeroes of the start's teardown
    system->advance(0.5);
    ASSERT_TRUE(levelsMeasured());
    EXPECT_TRUE(recorder->levels.empty()) << "levels wait until the meters ask for them";
    router->deliverMeterLevels();
    ASSERT_EQ(recorder->levels.size(), 2u) << "the newest of each source, once";
    EXPECT_EQ(recorder->levels[0].source, VLMAudioSource::velmora);
    EXPECT_EQ(recorder->levels[1].source, VLMAudioSource::microphone);
    for (const auto& report : recorder->levels)
        EXPECT_NEAR(report.level, (20 * std::log10(0.4f) + 60) / 60, 0.02) << "0.5 peak at gain 0.8";
    router->deliverMeterLevels();
    EXPECT_EQ(recorder->levels.size(), 2u) << "no new measurement, nothing to deliver";
}

TEST_F(VLMAudioRouterMeteringTest, LevelsMeasuredBeforeAStopAreDropped)
{
    makeRouter().start();
    system->advance(0.5);
    ASSERT_TRUE(levelsMeasured());
    router->stop();
    router->start();
    recorder->levels.clear();
    router->deliverMeterLevels();
    EXPECT_TRUE(recorder->levels.empty()) << "the new graph has measured nothing yet";
}

TEST_F(VLMAudioRouterMeteringTest, EveryTeardownZeroesBothMeters)
{
    makeRouter().start();
    recorder->levels.clear();
    router->stop();
    ASSERT_EQ(recorder->levels.size(), 2u);
    EXPECT_EQ(recorder->levels[0].source, VLMAudioSource::velmora);
    EXPECT_EQ(recorder->levels[1].source, VLMAudioSource::microphone);
    EXPECT_EQ(recorder->levels[0].level + recorder->levels[1].level, 0.0f);
}

// A steady signal lights the same segments buffer after buffer: after the
// first level the main thread is not woken again until the level moves.
TEST_F(VLMAudioRouterMeteringTest, SteadyLevelsWakeTheMainThreadOnlyWhenWhatIsShownChanges)
{
    makeRouter();
    router->setMeterShows([](float level) { return int(std::ceil(level * 24.0f)); });
    router->start();
    const int ready = router->meterLevelsReadyDescriptor();
    ASSERT_GE(ready, 0);
    system->advance(0.5);
    ASSERT_TRUE(levelsMeasured());
    EXPECT_TRUE(readable(ready)) << "the first levels are news";
    router->deliverMeterLevels();
    EXPECT_FALSE(readable(ready));

    system->advance(0.5);
    ASSERT_TRUE(levelsMeasured());
    EXPECT_FALSE(readable(ready)) << "the same sine shows the same";

    system->setInputSignal(microphone, SimulatedSignals::sine(1000, 0.05f));
    system->advance(0.5);
    EXPECT_TRUE(runMainQueueUntil([&] { return readable(ready); })) << "20 dB quieter lights fewer segments";
}

// A level the taps stored while the meters were shown may not have been drawn
// before they were hidden: once shown again, the first level wakes the main
// thread even if the signal has not changed since.
TEST_F(VLMAudioRouterMeteringTest, MetersShownAgainAreWokenByTheFirstLevelEvenIfSteady)
{
    makeRouter();
    router->setMeterShows([](float level) { return int(std::ceil(level * 24.0f)); });
    router->start();
    const int ready = router->meterLevelsReadyDescriptor();
    system->advance(0.5);
    ASSERT_TRUE(levelsMeasured());
    router->setMetersShown(false);  // before the meters took what woke them
    router->setMetersShown(true);
    router->deliverMeterLevels();
    ASSERT_FALSE(readable(ready));
    system->advance(0.5);
    EXPECT_TRUE(runMainQueueUntil([&] { return readable(ready); }, std::chrono::seconds(3)));
}

TEST_F(VLMAudioRouterMeteringTest, WithoutADelegateLevelsAreDropped)
{
    makeRouter();
    router->delegate.reset();
    router->start();
    system->advance(0.5);
    ASSERT_TRUE(levelsMeasured());
    router->deliverMeterLevels();
    EXPECT_TRUE(recorder->levels.empty());
    EXPECT_FALSE(router->meterLevelWaiting(VLMAudioSource::velmora)) << "taken and dropped";
}

} // namespace
