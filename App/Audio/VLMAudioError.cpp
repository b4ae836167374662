#include "VLMAudioError.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>

namespace {

// The rate truncated toward zero, in plain decimal. Rates the router could
// ever see fit a signed 64-bit integer; anything else must still render
// without undefined conversions: "nan", "inf" and "-inf" for non-finite
// rates, and the exact integer value for finite rates beyond 64 bits
// (such a double has no fractional part).
std::string rateDescription(double rate)
{
    if (std::isnan(rate))
        return "nan";
    if (std::isinf(rate))
        return rate < 0 ? "-inf" : "inf";
    constexpr double limit = 9223372036854775808.0; // 2^63, exact in a double
    if (rate >= -limit && rate < limit)
        return std::to_string(static_cast<std::int64_t>(rate));
    char digits[400];
    const auto result = std::to_chars(digits, digits + sizeof digits, rate, std::chars_format::fixed, 0);
    return std::string(digits, result.ptr);
}

} // namespace

VLMAudioError::VLMAudioError(Kind kind, double sampleRate, std::string context, OSStatus status)
    : kind_(kind), sampleRate_(sampleRate), context_(std::move(context)), status_(status)
{
    switch (kind_) {
    case Kind::unsupportedSampleRate:
        description_ = "The current audio rate (" + rateDescription(sampleRate_) + " Hz) is not supported.";
        break;
    case Kind::operationFailed:
        description_ = context_ + " failed (" + statusDescription(status_) + ").";
        break;
    case Kind::audioDeviceNotInstalled:
        description_ = "The Velmora Studio Connect audio device is not installed.";
        break;
    case Kind::microphoneUnavailable:
        description_ = "The selected microphone is no longer available.";
        break;
    }
}

VLMAudioError VLMAudioError::unsupportedSampleRate(double sampleRate)
{
    return VLMAudioError(Kind::unsupportedSampleRate, sampleRate, {}, 0);
}

VLMAudioError VLMAudioError::operationFailed(std::string context, OSStatus status)
{
    return VLMAudioError(Kind::operationFailed, 0.0, std::move(context), status);
}

VLMAudioError VLMAudioError::audioDeviceNotInstalled()
{
    return VLMAudioError(Kind::audioDeviceNotInstalled, 0.0, {}, 0);
}

VLMAudioError VLMAudioError::microphoneUnavailable()
{
    return VLMAudioError(Kind::microphoneUnavailable, 0.0, {}, 0);
}

std::string VLMAudioError::statusDescription(OSStatus status)
{
    const auto bits = static_cast<std::uint32_t>(status);
    const char code[4] = {char(bits >> 24), char(bits >> 16), char(bits >> 8), char(bits)};
    for (const char byte : code) {
        if (static_cast<unsigned char>(byte) < 0x20 || static_cast<unsigned char>(byte) > 0x7E)
            return std::to_string(status);
    }
    return '"' + std::string(code, 4) + '"';
}
