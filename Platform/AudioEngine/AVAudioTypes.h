#pragma once
// Scalar types shared by the engine's classes, under their platform names.

#include <cstdint>

using AVAudioFrameCount = std::uint32_t;
using AVAudioChannelCount = std::uint32_t;
using AVAudioNodeBus = std::uint32_t;
using AVAudioFramePosition = std::int64_t;

// When a tap buffer's first frame was rendered, counted in frames of the
// tapped bus since the engine started.
struct AVAudioTime {
    AVAudioFramePosition sampleTime = 0;
    double sampleRate = 0.0;
};
