#pragma once
// A test fixture that installs a fresh simulated audio system as the process's
// audio backend and removes it afterwards.

#include "SimulatedAudioSystem.h"

#include <gtest/gtest.h>

#include <memory>

class SimulatedSystemTest : public testing::Test {
protected:
    explicit SimulatedSystemTest(SimulatedClock clock = SimulatedClock::manual)
        : system(std::make_shared<SimulatedAudioSystem>(clock))
    {
        AudioHardwareInstallBackend(system);
    }
    ~SimulatedSystemTest() override { AudioHardwareInstallBackend(nullptr); }

    // The journal's lines for one call, e.g. every AudioDeviceStart.
    std::vector<std::string> calls(SimulatedCall call) const
    {
        std::vector<std::string> lines;
        for (const auto& entry : system->journal())
            if (entry.call == call)
                lines.push_back(entry.description());
        return lines;
    }

    std::shared_ptr<SimulatedAudioSystem> system;
};
