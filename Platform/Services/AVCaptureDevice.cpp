#include "AVCaptureDevice.h"

AVAuthorizationStatus AVCaptureDevice::authorizationStatus(AVMediaType mediaType)
{
    if (mediaType != AVMediaTypeAudio)
        return AVAuthorizationStatus::restricted;
    return AudioHardwareCurrentBackend()->microphoneAuthorizationStatus();
}

void AVCaptureDevice::requestAccess(AVMediaType mediaType, std::function<void(bool granted)> completionHandler)
{
    if (!completionHandler)
        completionHandler = [](bool) {};
    if (mediaType != AVMediaTypeAudio) {
        completionHandler(false);
        return;
    }
    AudioHardwareCurrentBackend()->requestMicrophoneAccess(std::move(completionHandler));
}
