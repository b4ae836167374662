#include "SimulatedSignal.h"

#include <cmath>
#include <numbers>

namespace SimulatedSignals {

SimulatedSignal silence()
{
    return [](std::uint64_t, std::uint32_t, double) { return 0.0f; };
}

SimulatedSignal constant(float value)
{
    return [value](std::uint64_t, std::uint32_t, double) { return value; };
}

SimulatedSignal sine(double frequency, float amplitude)
{
    return [frequency, amplitude](std::uint64_t frame, std::uint32_t, double sampleRate) {
        // Phase from the frame number modulo one period keeps precision over long runs.
        const double period = sampleRate / frequency;
        const double position = std::fmod(double(frame), period) / period;
        return amplitude * float(std::sin(2.0 * std::numbers::pi * position));
    };
}

SimulatedSignal impulse(std::uint64_t at, float amplitude)
{
    return [at, amplitude](std::uint64_t frame, std::uint32_t, double) { return frame == at ? amplitude : 0.0f; };
}

SimulatedSignal channelNumbers()
{
    return [](std::uint64_t, std::uint32_t channel, double) { return float(channel + 1); };
}

} // namespace SimulatedSignals
