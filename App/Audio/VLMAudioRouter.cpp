#include "VLMAudioRouter.h"

#include "AVCaptureDevice.h"
#include "VLMAudioError.h"
#include "VLMAudioHardware.h"
#include "VLMAudioMeterLevels.h"
#include "VLMAudioRouterGraph.h"
#include "VLMFatalError.h"
#include "VLMVirtualOutputDevice.h"

#include <algorithm>

std::shared_ptr<VLMAudioRouter> VLMAudioRouter::create()
{
    return std::shared_ptr<VLMAudioRouter>(new VLMAudioRouter());
}

VLMAudioRouter::VLMAudioRouter() : meterLevels_(std::make_shared<VLMAudioMeterLevels>())
{
    loadGains();
    processRingBuffer.reset(VLMAudioRingBufferCreate(ringBufferCapacity));
    if (!processRingBuffer)
        VLMFatalError("Unable to create the process audio ring buffer.");
    microphoneRingBuffer.reset(VLMAudioRingBufferCreate(ringBufferCapacity));
    if (!microphoneRingBuffer) {
        processRingBuffer.reset();
        VLMFatalError("Unable to create the microphone audio ring buffer.");
    }
}

VLMAudioRouter::~VLMAudioRouter() { stopAudio(); }

namespace {

bool serverIsNotRunning(const VLMAudioError& error)
{
    return error.kind() == VLMAudioError::Kind::operationFailed && error.status() == kAudioHardwareNotRunningError;
}

} // namespace

void VLMAudioRouter::setStatus(VLMAudioRouterStatus status)
{
    status_ = std::move(status);
    // Copies: a listener may assign the next status while being told of this one.
    const VLMAudioRouterStatus announced = status_;
    if (auto listener = delegate.lock())
        listener->audioRouter(*this, announced);
    if (statusDidChange) {
        auto callback = statusDidChange;
        callback(announced);
    }
}

void VLMAudioRouter::tellDelegateMicrophonesChanged()
{
    if (auto listener = delegate.lock())
        listener->audioRouterDidUpdateMicrophones(*this);
}

// ---------------------------------------------------------------------------
// Lifecycle and microphone selection

void VLMAudioRouter::start()
{
    const std::weak_ptr<VLMAudioRouter> weakRouter = weak_from_this();
    audioDeviceMonitor.start([weakRouter] {
        if (auto router = weakRouter.lock())
            router->audioHardwareDidChange();
    });
    refreshMicrophones();

    switch (AVCaptureDevice::authorizationStatus(AVMediaTypeAudio)) {
    case AVAuthorizationStatus::notDetermined:
        AVCaptureDevice::requestAccess(AVMediaTypeAudio, [weakRouter](bool granted) {
            dispatch_async(dispatch_get_main_queue(), [weakRouter, granted] {
                auto router = weakRouter.lock();
                if (!router)
                    return;
                if (granted) {
                    router->startAudioUsingDefaultMicrophone();
                } else {
                    router->stopAudio();
                    router->setStatus(VLMAudioRouterStatus::microphonePermissionDenied());
                }
            });
        });
        break;
    case AVAuthorizationStatus::authorized:
        startAudioUsingDefaultMicrophone();
        break;
    default:
        stopAudio();
        setStatus(VLMAudioRouterStatus::microphonePermissionDenied());
        break;
    }
}

void VLMAudioRouter::stop()
{
    audioDeviceMonitor.stop();
    stopAudio();
}

void VLMAudioRouter::refreshMicrophones()
{
    try {
        microphones_ = VLMAudioHardware::inputDevices();
        const AudioObjectID defaultID = VLMAudioHardware::defaultInputDeviceID();
        auto match = std::find_if(microphones_.begin(), microphones_.end(),
                                  [&](const VLMAudioDevice& d) { return d.id == defaultID; });
        defaultMicrophoneUID_ = match == microphones_.end() ? std::nullopt : std::optional(match->uid);
    } catch (const VLMAudioError&) {
        // A system that cannot be read offers no microphones; the status stays.
        microphones_.clear();
        defaultMicrophoneUID_.reset();
    }
    tellDelegateMicrophonesChanged();
}

void VLMAudioRouter::audioHardwareDidChange()
{
    const std::optional<std::string> previousUID = selectedMicrophoneUID_;
    refreshMicrophones();
    if (AVCaptureDevice::authorizationStatus(AVMediaTypeAudio) != AVAuthorizationStatus::authorized)
        return;

    // The virtual device follows the hardware both ways: a graph whose device
    // went away (uninstalled, or the whole sound server gone) plays to nobody,
    // and a device that appears ends the wait for it. The status is what a
    // start would end in now: with every device gone (the sound server away)
    // that is the missing microphone, which a start checks first.
    if (graph_) {
        try {
            if (!VLMAudioHardware::deviceID(VLMVirtualOutputDevice::deviceUID)) {
                stopAudio();
                if (microphones_.empty()) {
                    awaitingMicrophone_ = true;
                    setStatus(VLMAudioRouterStatus::failed(VLMAudioError::microphoneUnavailable().errorDescription()));
                } else {
                    setStatus(VLMAudioRouterStatus::driverMissing());
                }
                return;
            }
        } catch (const VLMAudioError& error) {
            stopAudio();
            awaitingMicrophone_ = serverIsNotRunning(error);
            setStatus(VLMAudioRouterStatus::failed(awaitingMicrophone_ ? audioServerNotRunningMessage
                                                                      : error.errorDescription()));
            return;
        }
    } else if ((status_ == VLMAudioRouterStatus::driverMissing() && virtualDeviceIsPresent())
               || (awaitingMicrophone_ && !microphones_.empty())
               || status_ == VLMAudioRouterStatus::failed(audioServerNotRunningMessage)) {
        restartForReturnedVirtualDevice(previousUID);
        return;
    }
    followIOStall();

    // The microphone in use, unplugged and plugged in again (or its server
    // restarted) under a new id: the running capture listens to a device that
    // is gone, so the same choice starts afresh on the new one.
    if (graph_ && previousUID) {
        auto listed = std::find_if(microphones_.begin(), microphones_.end(),
                                   [&](const VLMAudioDevice& d) { return d.uid == *previousUID; });
        if (listed != microphones_.end() && listed->id != graph_->microphoneCapture->capturedDeviceID()) {
            startAudio(*previousUID, usesSystemDefaultMicrophone_);
            return;
        }
    }

    if (usesSystemDefaultMicrophone_) {
        if (!defaultMicrophoneUID_ || defaultMicrophoneUID_ == previousUID)
            return;
        const std::string newDefault = *defaultMicrophoneUID_;
        startAudio(newDefault, true);
        return;
    }
    if (!previousUID)
        return;
    const bool stillPresent = std::any_of(microphones_.begin(), microphones_.end(),
                                          [&](const VLMAudioDevice& d) { return d.uid == *previousUID; });
    if (!stillPresent)
        startAudioUsingDefaultMicrophone();
}

// A graph that gets no cycles is left in place, so it plays again by itself
// as soon as they come back; meanwhile nothing is heard, and the meters,
// which no cycle updates, would stay lit at their last level.
void VLMAudioRouter::followIOStall()
{
    if (!graph_)
        return;
    const std::uint32_t stall = VLMAudioHardware::ioStall();
    if (stall != kAudioHardwareIORunning)
        if (auto listener = delegate.lock()) {
            listener->audioRouter(*this, 0.0f, VLMAudioSource::velmora);
            listener->audioRouter(*this, 0.0f, VLMAudioSource::microphone);
        }
    const VLMAudioRouterStatus stalled = VLMAudioRouterStatus::failed(audioStalledMessage);
    if (stall == kAudioHardwareIOStalled && status_ == VLMAudioRouterStatus::ready())
        setStatus(stalled);
    else if (stall == kAudioHardwareIORunning && status_ == stalled)
        setStatus(VLMAudioRouterStatus::ready());
}

bool VLMAudioRouter::virtualDeviceIsPresent() const
{
    try {
        return VLMAudioHardware::deviceID(VLMVirtualOutputDevice::deviceUID).has_value();
    } catch (const VLMAudioError&) {
        return false;  // unreadable counts as still absent: nothing to start on
    }
}

void VLMAudioRouter::restartForReturnedVirtualDevice(const std::optional<std::string>& previousUID)
{
    // After a sound server restart devices come back one by one. Back before
    // any microphone, the device gets a start that fails for want of one, and
    // no other rule retries when the microphone returns (its UID, the default,
    // is unchanged), so the router keeps waiting for one.
    awaitingMicrophone_ = microphones_.empty();
    const bool pickedIsListed =
        previousUID && std::any_of(microphones_.begin(), microphones_.end(),
                                   [&](const VLMAudioDevice& d) { return d.uid == *previousUID; });
    if (!usesSystemDefaultMicrophone_ && pickedIsListed) {
        const std::string uid = *previousUID;
        startAudio(uid, false);
    } else {
        startAudioUsingDefaultMicrophone();
    }
}

void VLMAudioRouter::startAudioUsingDefaultMicrophone()
{
    std::string uid;
    try {
        const AudioObjectID defaultID = VLMAudioHardware::defaultInputDeviceID();
        auto chosen = std::find_if(microphones_.begin(), microphones_.end(),
                                   [&](const VLMAudioDevice& d) { return d.id == defaultID; });
        if (chosen == microphones_.end())
            chosen = microphones_.begin();
        if (chosen == microphones_.end())
            throw VLMAudioError::microphoneUnavailable();
        uid = chosen->uid;
    } catch (const VLMAudioError& error) {
        // A graph that already runs is left running. Without a graph, a
        // microphone (or the server) that arrives later starts one, as a
        // returning virtual device does.
        if (!graph_)
            awaitingMicrophone_ = microphones_.empty();
        setStatus(VLMAudioRouterStatus::failed(serverIsNotRunning(error) ? audioServerNotRunningMessage
                                                                         : error.errorDescription()));
        return;
    }
    defaultMicrophoneUID_ = uid;
    startAudio(uid, true);
}

void VLMAudioRouter::selectMicrophone(const std::string& uid)
{
    if (selectedMicrophoneUID_ == uid) {
        usesSystemDefaultMicrophone_ = false;
        tellDelegateMicrophonesChanged();
        return;
    }
    startAudio(uid, false);
}

void VLMAudioRouter::selectSystemDefaultMicrophone()
{
    if (!defaultMicrophoneUID_) {
        startAudioUsingDefaultMicrophone();
        return;
    }
    if (usesSystemDefaultMicrophone_ && selectedMicrophoneUID_ == defaultMicrophoneUID_)
        return;
    const std::string uid = *defaultMicrophoneUID_;
    startAudio(uid, true);
}
