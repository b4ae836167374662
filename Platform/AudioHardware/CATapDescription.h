#pragma once
// Describes a process tap: which processes' output to capture and how.

#include "CoreAudioTypes.h"

#include <string>
#include <vector>

enum CATapMuteBehavior : int {
    CATapUnmuted = 0,
    CATapMuted = 1,
    CATapMutedWhenTapped = 2,
};

class CATapDescription {
public:
    // A tap that mixes the output of the given processes down to stereo.
    static CATapDescription initStereoMixdownOfProcesses(std::vector<AudioObjectID> processes)
    {
        CATapDescription d;
        d.processes_ = std::move(processes);
        return d;
    }

    void setName(std::string name) { name_ = std::move(name); }
    void setBundleIDs(std::vector<std::string> bundleIDs) { bundleIDs_ = std::move(bundleIDs); }
    void setProcessRestoreEnabled(bool enabled) { processRestoreEnabled_ = enabled; }
    void setPrivate(bool isPrivate) { private_ = isPrivate; }
    void setMuteBehavior(CATapMuteBehavior behavior) { muteBehavior_ = behavior; }

    const std::string& name() const { return name_; }
    const std::vector<AudioObjectID>& processes() const { return processes_; }
    const std::vector<std::string>& bundleIDs() const { return bundleIDs_; }
    bool isProcessRestoreEnabled() const { return processRestoreEnabled_; }
    bool isPrivate() const { return private_; }
    bool isMono() const { return false; }
    CATapMuteBehavior muteBehavior() const { return muteBehavior_; }

private:
    std::string name_;
    std::vector<AudioObjectID> processes_;
    std::vector<std::string> bundleIDs_;
    bool processRestoreEnabled_ = false;
    bool private_ = false;
    CATapMuteBehavior muteBehavior_ = CATapUnmuted;
};
