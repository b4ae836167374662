#include "AVFAudio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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
