// The graph rendered manually on the test's thread: rate conversion, volume
// ramps, format choice, reset and taps.

#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

using namespace enginetest;

namespace {

class ManualEngine : public testing::Test {
protected:
    void SetUp() override { engine.enableManualRenderingMode(AVAudioEngineManualRenderingMode::realtime, format(48000, 2), 4096); }

    std::shared_ptr<AVAudioSourceNode> addSource(std::shared_ptr<AVAudioFormat> sourceFormat,
                                                 AVAudioSourceNodeRenderBlock block,
                                                 const std::shared_ptr<AVAudioNode>& into)
    {
        auto source = std::make_shared<AVAudioSourceNode>(sourceFormat, std::move(block));
        engine.attach(source);
        engine.connect(source, into, sourceFormat);
        return source;
    }

    AVAudioEngine engine;
};

} // namespace

// The microphone's shape in the program: a source at its own rate, its mixer
// connected onward without a format, so the mixer converts to the main rate.
class RateConversion : public ManualEngine, public testing::WithParamInterface<double> {};

TEST_P(RateConversion, ToneKeepsItsFrequencyAndLevel)
{
    const double inputRate = GetParam();
    auto mixer = std::make_shared<AVAudioMixerNode>();
    engine.attach(mixer);
    addSource(format(inputRate, 2), sineBlock(1000.0, 0.5f, inputRate), mixer);
    engine.connect(mixer, engine.mainMixerNode(), nullptr);
    engine.connect(engine.mainMixerNode(), engine.outputNode(), format(48000, 2));
    ASSERT_EQ(mixer->outputFormatForBus(0)->sampleRate(), 48000.0);

    engine.start();
    const auto out = renderBlocks(engine, 1024, 60);
    ASSERT_EQ(out[1].size(), 60u * 1024u);
    const std::vector<float> settled(out[1].begin() + 4096, out[1].end());
    EXPECT_NEAR(toneAmplitude(settled, 48000.0, 1000.0), 0.5, 0.005);
    EXPECT_LT(residualDecibels(settled, 48000.0, 1000.0), -90.0);
    // No gap at any block boundary: the start of the signal is not delayed by more than the filter.
    const auto firstLoud = std::find_if(out[0].begin(), out[0].end(), [](float s) { return std::fabs(s) > 0.05f; });
    EXPECT_LT(firstLoud - out[0].begin(), 64);
}

INSTANTIATE_TEST_SUITE_P(MicrophoneRates, RateConversion, testing::Values(16000.0, 44100.0, 96000.0));

TEST_F(ManualEngine, OutputVolumeRampsAcrossTheNextBlock)
{
    auto mixer = std::make_shared<AVAudioMixerNode>();
    engine.attach(mixer);
    addSource(format(48000, 2), constantBlock({1.0f}), mixer);
    engine.connect(mixer, engine.mainMixerNode(), nullptr);
    mixer->setOutputVolume(0.5f);  // set before the start: applies from the first frame
    engine.start();

    auto block = renderBlocks(engine, 256, 1)[0];
    EXPECT_FLOAT_EQ(block.front(), 0.5f);

    mixer->setOutputVolume(0.0f);
    block = renderBlocks(engine, 256, 1)[0];
    EXPECT_LT(block.front(), 0.5f);
    EXPECT_GT(block.front(), 0.49f);  // one step of the ramp, not a jump
    EXPECT_FLOAT_EQ(block.back(), 0.0f);
    for (std::size_t i = 1; i < block.size(); ++i) {
        ASSERT_LT(block[i], block[i - 1]);
        ASSERT_NEAR(block[i - 1] - block[i], 0.5f / 256.0f, 1e-6f);
    }
    block = renderBlocks(engine, 256, 1)[0];
    EXPECT_EQ(block.front(), 0.0f);
    EXPECT_EQ(block.back(), 0.0f);
}

TEST_F(ManualEngine, EngineChoosesFormatsForConnectionsWithoutOne)
{
    auto mainMixer = engine.mainMixerNode();
    EXPECT_EQ(*mainMixer->outputFormatForBus(0), *format(48000, 2));  // the output's format
    auto mixer = std::make_shared<AVAudioMixerNode>();
    engine.attach(mixer);
    EXPECT_EQ(*mixer->outputFormatForBus(0), *format(44100, 2));  // not connected
    engine.connect(mixer, mainMixer, nullptr);
    engine.connect(mainMixer, engine.outputNode(), format(44100, 1));
    EXPECT_EQ(*mixer->outputFormatForBus(0), *format(44100, 1));
    EXPECT_EQ(*mainMixer->inputFormatForBus(0), *format(44100, 1));
    EXPECT_EQ(mainMixer->numberOfInputs(), 1u);
}

TEST_F(ManualEngine, ResetForgetsEarlierAudio)
{
    auto mixer = std::make_shared<AVAudioMixerNode>();
    engine.attach(mixer);
    auto loud = std::make_shared<bool>(true);
    addSource(format(16000, 1),
              [loud](bool* isSilence, const AudioTimeStamp*, AVAudioFrameCount frames, AudioBufferList* data) {
                  std::fill_n(static_cast<float*>(data->mBuffers[0].mData), frames, 1.0f);
                  *isSilence = !*loud;
                  return OSStatus(0);
              },
              mixer);
    engine.connect(mixer, engine.mainMixerNode(), nullptr);
    engine.start();
    renderBlocks(engine, 256, 2);
    engine.stop();
    engine.reset();
    *loud = false;
    engine.start();
    // The resampler's history of the loud signal is gone: nothing rings on.
    const auto out = renderBlocks(engine, 256, 1);
    EXPECT_EQ(*std::max_element(out[0].begin(), out[0].end()), 0.0f);
}

// Taps: what the mixer produced, in whole buffers, on the engine's own thread.
TEST_F(ManualEngine, TapsDeliverWholeBuffersOfTheBusOnAnotherThread)
{
    auto mixer = std::make_shared<AVAudioMixerNode>();
    engine.attach(mixer);
    addSource(format(48000, 2), constantBlock({0.5f, -0.25f}), mixer);
    engine.connect(mixer, engine.mainMixerNode(), nullptr);
    mixer->setOutputVolume(0.5f);

    struct Delivery {
        std::thread::id thread;
        AVAudioFrameCount length;
        AVAudioFramePosition sampleTime;
        float left, right;
        std::shared_ptr<AVAudioFormat> format;
    };
    Collector<Delivery> deliveries;
    mixer->installTapOnBus(0, 1024, nullptr, [&](const std::shared_ptr<AVAudioPCMBuffer>& buffer, const AVAudioTime& when) {
        deliveries.add({std::this_thread::get_id(), buffer->frameLength(), when.sampleTime,
                        buffer->floatChannelData()[0][1023], buffer->floatChannelData()[1][0], buffer->format()});
    });
    engine.start();
    renderBlocks(engine, 300, 11);  // 3,300 frames: three whole buffers
    ASSERT_TRUE(deliveries.waitForCount(3));
    const auto got = deliveries.values();
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NE(got[i].thread, std::this_thread::get_id());
        EXPECT_EQ(got[i].length, 1024u);
        EXPECT_EQ(got[i].sampleTime, AVAudioFramePosition(i * 1024));
        EXPECT_FLOAT_EQ(got[i].left, 0.25f);  // after the mixer's volume
        EXPECT_FLOAT_EQ(got[i].right, -0.125f);
        EXPECT_EQ(*got[i].format, *mixer->outputFormatForBus(0));
    }
    engine.stop();  // before `deliveries` goes away
}

// While paused a tap gets nothing; afterwards its buffers start at the first
// frame rendered after the pause, at that frame's time: never a buffer that
// splices audio from before the pause onto audio after it.
TEST_F(ManualEngine, PausedTapsGetNothingAndStartAfreshAtTheFirstFrameAfter)
{
    auto mixer = std::make_shared<AVAudioMixerNode>();
    engine.attach(mixer);
    addSource(format(48000, 2), frameNumberBlock(), mixer);
    engine.connect(mixer, engine.mainMixerNode(), nullptr);
    struct Delivery {
        AVAudioFramePosition sampleTime;
        float first, last;
    };
    Collector<Delivery> deliveries;
    mixer->installTapOnBus(0, 1024, nullptr, [&](const std::shared_ptr<AVAudioPCMBuffer>& buffer, const AVAudioTime& when) {
        const float* right = buffer->floatChannelData()[1];
        deliveries.add({when.sampleTime, right[0], right[buffer->frameLength() - 1]});
    });
    engine.setTapsPaused(true);  // before the start too
    engine.start();
    renderBlocks(engine, 256, 4);
    engine.setTapsPaused(false);
    renderBlocks(engine, 256, 9);  // from frame 1,024: two buffers and a quarter of one
    ASSERT_TRUE(deliveries.waitForCount(2));
    engine.setTapsPaused(true);
    renderBlocks(engine, 256, 40);
    engine.setTapsPaused(false);
    renderBlocks(engine, 256, 8);  // from frame 13,568: two buffers
    ASSERT_TRUE(deliveries.waitForCount(4));
    engine.stop();

    const auto got = deliveries.values();
    ASSERT_EQ(got.size(), 4u);
    const AVAudioFramePosition starts[] = {1024, 2048, 13568, 14592};
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].sampleTime, starts[i]) << "buffer " << i;
        EXPECT_EQ(got[i].first, float(starts[i])) << "buffer " << i;
        EXPECT_EQ(got[i].last, float(starts[i] + 1023)) << "buffer " << i;
    }
}

