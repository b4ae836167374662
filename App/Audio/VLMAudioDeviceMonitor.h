#pragma once
// Tells its handler, on the main queue, when audio devices come or go, the
// default input device changes or the process's running IO stalls or resumes.

#include "AudioHardware/AudioHardware.h"

#include <functional>
#include <optional>

class VLMAudioDeviceMonitor {
public:
    VLMAudioDeviceMonitor();
    ~VLMAudioDeviceMonitor();
    VLMAudioDeviceMonitor(const VLMAudioDeviceMonitor&) = delete;
    VLMAudioDeviceMonitor& operator=(const VLMAudioDeviceMonitor&) = delete;

    // True when listening afterwards. While listening, a new handler is ignored.
    bool start(std::function<void()> handler);
    void stop();
    bool isListening() const { return listener.has_value(); }

private:
    const AudioObjectID systemObject;
    const dispatch_queue_t queue;
    std::optional<AudioObjectPropertyListenerBlock> listener;
};
