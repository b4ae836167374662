#pragma once
// Whether anyone records what this process plays. A voice-chat application
// records the virtual device through links from the device's outputs to its
// own node; this process's node only plays into the device. While the
// process favours saving power (its window is not seen, so nobody looks at
// the meters) and nobody records, the program's node rests: its links are
// taken away and it no longer asks for cycles of its own (node.always-process),
// so the data thread stops waking, and the microphone and the graph it drove
// can suspend. The first link from a recorder brings the links back. Links
// are followed through a registry listener of its own; call everything with
// the thread loop's lock held.

#include "PipeWireHandles.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace pipewire {

class RecorderWatch {
public:
    // `changed` runs after a link appears or goes.
    RecorderWatch(pw_core* core, std::function<void()> changed);
    ~RecorderWatch();
    RecorderWatch(const RecorderWatch&) = delete;
    RecorderWatch& operator=(const RecorderWatch&) = delete;

    // Whether a link runs from one of `devices`' outputs into a node other than `self`.
    bool isRecorded(const std::vector<std::uint32_t>& devices, std::uint32_t self) const;

private:
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) noexcept;
    static void onGlobalRemove(void* data, std::uint32_t id) noexcept;

    std::function<void()> changed_;
    Proxy registry_;
    Hook registryHook_;
    struct Link {
        std::uint32_t outputNode, inputNode;
    };
    std::map<std::uint32_t, Link> links_;  // by global id
};

// Whether the program's node should run: unless the process favours saving
// power and nobody records any device it plays into.
inline bool nodeShouldRun(bool favorsSavingPower, bool recorded) { return !favorsSavingPower || recorded; }

} // namespace pipewire
