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

} // namespace
