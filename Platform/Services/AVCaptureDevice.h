#pragma once
// Microphone permission, answered by the installed audio hardware backend.

#include "AudioHardware/AudioHardwareBackend.h"

#include <functional>
#include <string_view>

using AVMediaType = std::string_view;
inline constexpr AVMediaType AVMediaTypeAudio = "soun";
inline constexpr AVMediaType AVMediaTypeVideo = "vide";

class AVCaptureDevice {
public:
    // Only audio is known here; any other media type is restricted.
    static AVAuthorizationStatus authorizationStatus(AVMediaType mediaType);
    // The handler runs exactly once, on any thread (the simulated backend
    // answers on one of its own).
    static void requestAccess(AVMediaType mediaType, std::function<void(bool granted)> completionHandler);
};
