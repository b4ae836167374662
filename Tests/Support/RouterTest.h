#pragma once
// A router over a simulated audio system with a microphone, the virtual
// device and both applications, user defaults in a temporary file, and a
// delegate that records everything it is told.

#include "SimulatedSystemTest.h"
#include "VLMAudioRouter.h"
#include "VLMVirtualOutputDevice.h"

#include <QTemporaryDir>

#include <optional>
#include <string>
#include <vector>

class RecordingDelegate : public VLMAudioRouterDelegate {
public:
    struct Level {
        float level;
        VLMAudioSource source;
    };

    void audioRouter(VLMAudioRouter&, const VLMAudioRouterStatus& status) override { statuses.push_back(status); }
    void audioRouterDidUpdateMicrophones(VLMAudioRouter& router) override
    {
        ++microphoneUpdates;
        lastSelection = router.selectedMicrophoneUID();
    }
    void audioRouter(VLMAudioRouter&, float level, VLMAudioSource source) override { levels.push_back({level, source}); }

    // Levels above 0 reported for `source`.
    std::size_t soundingLevels(VLMAudioSource source) const
    {
        std::size_t count = 0;
        for (const Level& l : levels)
            count += l.source == source && l.level > 0;
        return count;
    }

    // What the meter of `source` shows: the last level reported for it, if any.
    std::optional<float> lastLevel(VLMAudioSource source) const
    {
        for (auto l = levels.rbegin(); l != levels.rend(); ++l)
            if (l->source == source)
                return l->level;
        return std::nullopt;
    }

    std::vector<VLMAudioRouterStatus> statuses;
    std::vector<Level> levels;
    int microphoneUpdates = 0;
    std::optional<std::string> lastSelection;
};

// Points the standard user defaults at a fresh file for the test's life.
class TemporaryDefaults {
public:
    TemporaryDefaults();
    ~TemporaryDefaults();
    QString path() const;

private:
    QTemporaryDir directory_;
};

class RouterTest : public SimulatedSystemTest {
protected:
    explicit RouterTest(SimulatedClock clock = SimulatedClock::manual);
    ~RouterTest() override;

    // Creates the router (loading gains from the defaults as they are now).
    VLMAudioRouter& makeRouter();
    AudioObjectID addVirtualDevice(double rate = 48000.0);
    AudioObjectID addMicrophone(const std::string& uid, const std::string& name, double rate = 48000.0,
                                SimulatedSignal signal = nullptr);
    // Every IOProc, tap and aggregate device that exists.
    std::size_t liveAudioObjects() const;

    TemporaryDefaults defaults;
    std::shared_ptr<RecordingDelegate> recorder = std::make_shared<RecordingDelegate>();
    std::shared_ptr<VLMAudioRouter> router;
    AudioObjectID virtualDevice = 0;
    AudioObjectID microphone = 0;
};
