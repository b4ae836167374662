#include "SimulatedDemonstration.h"

#include <array>
#include <cmath>

namespace {

// Something like music: a bass note and a two-note chord that change every
// half second, over an eight-step progression, with a soft attack per step.
// Pure arithmetic, as the IO thread needs.
SimulatedSignal musicLikeTones()
{
    return [](std::uint64_t frame, std::uint32_t channel, double rate) -> float {
        static constexpr std::array<double, 8> roots = {220.00, 174.61, 261.63, 196.00,
                                                        220.00, 146.83, 164.81, 196.00};
        const double t = double(frame) / rate;
        const double stepLength = 0.5;
        const auto step = std::uint64_t(t / stepLength);
        const double inStep = t - double(step) * stepLength;
        const double root = roots[step % roots.size()];
        const double envelope = std::min(1.0, inStep / 0.02) * std::exp(-3.0 * inStep);
        constexpr double twoPi = 6.283185307179586;
        // The chord leans a little to the left, the bass to the right.
        const double third = channel == 0 ? 0.09 : 0.06;
        const double bass = channel == 0 ? 0.06 : 0.09;
        const double value = bass * std::sin(twoPi * root / 2 * t)
                           + envelope * (third * std::sin(twoPi * root * 1.25 * t)
                                         + 0.07 * std::sin(twoPi * root * 1.5 * t));
        return float(value);
    };
}

} // namespace

std::shared_ptr<SimulatedAudioSystem> makeSimulatedDemonstration()
{
    auto system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::realTime);
    const AudioObjectID builtIn = system->addDevice(SimulatedDeviceDescription::microphone(
        "com.tarnwick.demo.BuiltInMicrophone", "Built-in Microphone", 1, 48000.0,
        SimulatedSignals::sine(440.0, 0.2f)));
    system->addDevice(SimulatedDeviceDescription::microphone("com.tarnwick.demo.USBMicrophone", "USB Microphone", 2,
                                                             44100.0, SimulatedSignals::sine(660.0, 0.2f)));
    system->addDevice(SimulatedDeviceDescription::output("com.tarnwick.demo.Speakers", "Speakers"));
    system->addDevice(SimulatedDeviceDescription::output("com.tarnwick.VelmoraStudioConnect.Device",
                                                         "Velmora Studio Connect"));
    system->setDefaultInputDevice(builtIn);
    system->addApplication("com.tarnwick.velmora", musicLikeTones());
    return system;
}
