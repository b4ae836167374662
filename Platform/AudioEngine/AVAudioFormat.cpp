#include "AVAudioFormat.h"

#include <cmath>

std::shared_ptr<AVAudioFormat> AVAudioFormat::standardFormatWithSampleRate(double sampleRate,
                                                                          AVAudioChannelCount channels)
{
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0 || channels == 0 || channels > kMaximumChannelCount)
        return nullptr;
    // Deinterleaved: each buffer holds one channel, so a frame of one buffer is 4 bytes.
    const AudioStreamBasicDescription description{
        sampleRate, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved,
        4, 1, 4, channels, 32, 0};
    return std::shared_ptr<AVAudioFormat>(new AVAudioFormat(description));
}
