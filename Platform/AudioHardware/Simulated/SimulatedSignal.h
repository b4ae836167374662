#pragma once
// Test signals that simulated devices and applications play.

#include <cstdint>
#include <functional>

// The sample of `channel` at `frame` (counted from the start of the signal) at
// `sampleRate`. Called on IO threads: it must not allocate, lock or block.
using SimulatedSignal = std::function<float(std::uint64_t frame, std::uint32_t channel, double sampleRate)>;

namespace SimulatedSignals {

SimulatedSignal silence();
SimulatedSignal constant(float value);
// A sine of `frequency` Hz and peak `amplitude` on every channel.
SimulatedSignal sine(double frequency, float amplitude);
// One sample of `amplitude` at `frame`, zero elsewhere, on every channel.
SimulatedSignal impulse(std::uint64_t frame, float amplitude);
// channel + 1 on every frame: tells channels apart after a down-mix.
SimulatedSignal channelNumbers();

} // namespace SimulatedSignals
