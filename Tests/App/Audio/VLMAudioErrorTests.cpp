#include "VLMAudioError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

std::string failed(OSStatus status) { return VLMAudioError::operationFailed("Step", status).errorDescription(); }

TEST(VLMAudioErrorDescription, FixedSentences)
{
    EXPECT_EQ(VLMAudioError::audioDeviceNotInstalled().errorDescription(),
              "The Velmora Studio Connect audio device is not installed.");
    EXPECT_EQ(VLMAudioError::microphoneUnavailable().errorDescription(),
              "The selected microphone is no longer available.");
}

TEST(VLMAudioErrorDescription, OperationFailedJoinsContextAndStatus)
{
    EXPECT_EQ(VLMAudioError::operationFailed("Preparing captured audio", 0).errorDescription(),
              "Preparing captured audio failed (0).");
    EXPECT_EQ(VLMAudioError::operationFailed("Capturing Velmora Studio and Music", 560947818).errorDescription(),
              "Capturing Velmora Studio and Music failed (\"!obj\").");
    EXPECT_EQ(VLMAudioError::operationFailed("Starting captured audio", kAudioHardwareUnspecifiedError)
                  .errorDescription(),
              "Starting captured audio failed (\"what\").");
    EXPECT_EQ(VLMAudioError::operationFailed("Reading the audio device list", kAudio_ParamError).errorDescription(),
              "Reading the audio device list failed (-50).");
}

TEST(VLMAudioErrorDescription, StatusIsAFourCharacterCodeOnlyWhenAllBytesArePrintable)
{
    EXPECT_EQ(failed(0x20202020), "Step failed (\"    \").");
    EXPECT_EQ(failed(0x7E7E7E7E), "Step failed (\"~~~~\").");
    EXPECT_EQ(failed(0x1F414141), "Step failed (524370241).");
    EXPECT_EQ(failed(0x41414180), "Step failed (1094795648).");
    EXPECT_EQ(failed(0x7F000000), "Step failed (2130706432).");
    EXPECT_EQ(failed(-1), "Step failed (-1).");
    EXPECT_EQ(failed(std::numeric_limits<OSStatus>::min()), "Step failed (-2147483648).");
}

TEST(VLMAudioErrorDescription, RateIsTruncatedTowardZero)
{
    auto rate = [](double hz) { return VLMAudioError::unsupportedSampleRate(hz).errorDescription(); };
    EXPECT_EQ(rate(96000.0), "The current audio rate (96000 Hz) is not supported.");
    EXPECT_EQ(rate(22050.7), "The current audio rate (22050 Hz) is not supported.");
    EXPECT_EQ(rate(44100.999), "The current audio rate (44100 Hz) is not supported.");
    EXPECT_EQ(rate(8000.0), "The current audio rate (8000 Hz) is not supported.");
    EXPECT_EQ(rate(-0.9), "The current audio rate (0 Hz) is not supported.");
    EXPECT_EQ(rate(-1.5), "The current audio rate (-1 Hz) is not supported.");
    EXPECT_EQ(rate(1e15), "The current audio rate (1000000000000000 Hz) is not supported.");
}

// Rates outside the signed 64-bit range have no integer conversion; they must
// still render (and not trip the sanitizers on a float-to-integer overflow).
TEST(VLMAudioErrorDescription, RatesBeyondSixtyFourBitsRenderSoundly)
{
    auto rate = [](double hz) { return VLMAudioError::unsupportedSampleRate(hz).errorDescription(); };
    EXPECT_EQ(rate(std::nan("")), "The current audio rate (nan Hz) is not supported.");
    EXPECT_EQ(rate(-std::nan("")), "The current audio rate (nan Hz) is not supported.");
    EXPECT_EQ(rate(INFINITY), "The current audio rate (inf Hz) is not supported.");
    EXPECT_EQ(rate(-INFINITY), "The current audio rate (-inf Hz) is not supported.");
    EXPECT_EQ(rate(9223372036854775807.0), "The current audio rate (9223372036854775808 Hz) is not supported.");
    EXPECT_EQ(rate(-9223372036854775808.0), "The current audio rate (-9223372036854775808 Hz) is not supported.");
    EXPECT_EQ(rate(-9223372036854777856.0), "The current audio rate (-9223372036854777856 Hz) is not supported.");
    EXPECT_EQ(rate(1e20), "The current audio rate (100000000000000000000 Hz) is not supported.");
    const std::string largest = rate(std::numeric_limits<double>::max());
    EXPECT_TRUE(largest.starts_with("The current audio rate (17976931348623157")) << largest;
    EXPECT_EQ(largest.size(), std::string("The current audio rate ( Hz) is not supported.").size() + 309);
}

TEST(VLMAudioErrorValue, WhatMatchesTheDescriptionAndSurvivesCopies)
{
    const VLMAudioError original = VLMAudioError::operationFailed("Selecting an audio device", -10851);
    VLMAudioError copy = original;
    copy = VLMAudioError::microphoneUnavailable();
    copy = original;
    EXPECT_STREQ(copy.what(), "Selecting an audio device failed (-10851).");
    EXPECT_EQ(std::string(original.what()), original.errorDescription());

    try {
        throw VLMAudioError::unsupportedSampleRate(32000.0);
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "The current audio rate (32000 Hz) is not supported.");
    }
}

TEST(VLMAudioErrorValue, PayloadsAndEquality)
{
    const VLMAudioError failure = VLMAudioError::operationFailed("Opening the audio engine", kAudioHardwareUnspecifiedError);
    EXPECT_EQ(failure.kind(), VLMAudioError::Kind::operationFailed);
    EXPECT_EQ(failure.context(), "Opening the audio engine");
    EXPECT_EQ(failure.status(), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(VLMAudioError::unsupportedSampleRate(88200.0).sampleRate(), 88200.0);
    EXPECT_EQ(VLMAudioError::unsupportedSampleRate(88200.0).kind(), VLMAudioError::Kind::unsupportedSampleRate);

    EXPECT_EQ(failure, VLMAudioError::operationFailed("Opening the audio engine", kAudioHardwareUnspecifiedError));
    EXPECT_FALSE(failure == VLMAudioError::operationFailed("Opening the audio engine", 0));
    EXPECT_FALSE(failure == VLMAudioError::operationFailed("Selecting an audio device", kAudioHardwareUnspecifiedError));
    EXPECT_EQ(VLMAudioError::microphoneUnavailable(), VLMAudioError::microphoneUnavailable());
    EXPECT_FALSE(VLMAudioError::microphoneUnavailable() == VLMAudioError::audioDeviceNotInstalled());
    EXPECT_FALSE(VLMAudioError::unsupportedSampleRate(0.0) == VLMAudioError::audioDeviceNotInstalled());
    EXPECT_FALSE(VLMAudioError::unsupportedSampleRate(96000.0) == VLMAudioError::unsupportedSampleRate(96000.5));
    EXPECT_FALSE(VLMAudioError::unsupportedSampleRate(NAN) == VLMAudioError::unsupportedSampleRate(NAN));
}

} // namespace
