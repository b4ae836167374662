#include "AVFAudio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(AVAudioFormat, StandardFormatIsDeinterleavedFloat)
{
    const auto format = AVAudioFormat::standardFormatWithSampleRate(16000.0, 2);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->sampleRate(), 16000.0);
    EXPECT_EQ(format->channelCount(), 2u);
    EXPECT_FALSE(format->isInterleaved());
    const AudioStreamBasicDescription& d = format->streamDescription();
    EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
    EXPECT_TRUE(d.mFormatFlags & kAudioFormatFlagIsFloat);
    EXPECT_TRUE(d.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
    EXPECT_EQ(d.mBytesPerFrame, 4u);  // one channel per buffer
}

TEST(AVAudioFormat, YieldsNothingForImpossibleRatesAndChannelCounts)
{
    for (double rate : {0.0, -48000.0, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_FALSE(AVAudioFormat::standardFormatWithSampleRate(rate, 2)) << rate;
    EXPECT_FALSE(AVAudioFormat::standardFormatWithSampleRate(48000.0, 0));
    EXPECT_TRUE(AVAudioFormat::standardFormatWithSampleRate(44100.5, 1));
}

TEST(AVAudioPCMBuffer, ChannelsAreSeparateAndLengthIsClamped)
{
    AVAudioPCMBuffer buffer(AVAudioFormat::standardFormatWithSampleRate(48000.0, 2), 256);
    EXPECT_EQ(buffer.frameLength(), 0u);
    float* const* data = buffer.floatChannelData();
    ASSERT_NE(data, nullptr);
    EXPECT_GE(data[1] - data[0], 256);
    buffer.setFrameLength(1000);
    EXPECT_EQ(buffer.frameLength(), 256u);
    const AudioBufferList* list = buffer.audioBufferList();
    ASSERT_EQ(list->mNumberBuffers, 2u);
    EXPECT_EQ(list->mBuffers[1].mData, data[1]);
    EXPECT_EQ(list->mBuffers[1].mDataByteSize, 256u * 4u);
    EXPECT_THROW(AVAudioPCMBuffer(nullptr, 16), std::invalid_argument);
}
