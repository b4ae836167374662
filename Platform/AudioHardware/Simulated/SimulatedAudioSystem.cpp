// The object model: devices, applications, microphone permission, and what
// tests can inspect of them.

#include "SimulatedAudioSystemImpl.h"

#include <algorithm>
#include <thread>

SimulatedDeviceDescription SimulatedDeviceDescription::microphone(std::string uid, std::string name,
                                                                  std::uint32_t channels, double rate,
                                                                  SimulatedSignal input)
{
    SimulatedDeviceDescription d;
    d.uid = std::move(uid);
    d.name = std::move(name);
    d.inputStreamChannels = {channels};
    d.nominalSampleRate = rate;
    if (input)
        d.input = std::move(input);
    return d;
}

SimulatedDeviceDescription SimulatedDeviceDescription::output(std::string uid, std::string name, double rate)
{
    SimulatedDeviceDescription d;
    d.uid = std::move(uid);
    d.name = std::move(name);
    d.outputStreamChannels = {2};
    d.nominalSampleRate = rate;
    return d;
}

// ---------------------------------------------------------------------------
// Life

SimulatedAudioSystem::SimulatedAudioSystem(SimulatedClock clock) : clock_(clock) {}

SimulatedAudioSystem::~SimulatedAudioSystem()
{
    for (auto& [id, device] : devices_)
        device->ioThread.reset();
    for (auto& thread : answerThreads_)
        thread.join();
}

SimulatedAudioSystem::Device* SimulatedAudioSystem::findDevice(AudioObjectID id) const
{
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second.get();
}

SimulatedAudioSystem::Tap* SimulatedAudioSystem::findTap(AudioObjectID id) const
{
    auto it = taps_.find(id);
    return it == taps_.end() ? nullptr : it->second.get();
}

// ---------------------------------------------------------------------------
// Setting up the world

AudioObjectID SimulatedAudioSystem::addDevice(SimulatedDeviceDescription description)
{
    pauseIO();
    auto device = std::make_unique<Device>();
    device->id = nextObjectID_++;
    for (std::size_t i = 0; i < description.inputStreamChannels.size(); ++i)
        device->inputStreams.push_back(nextObjectID_++);
    for (std::size_t i = 0; i < description.outputStreamChannels.size(); ++i)
        device->outputStreams.push_back(nextObjectID_++);
    device->description = std::move(description);
    const AudioObjectID id = device->id;
    const bool isInput = device->hasInput();
    devices_.emplace(id, std::move(device));
    resumeIO();
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    if (isInput && defaultInput_ == 0)
        setDefaultInputDevice(id);
    return id;
}

void SimulatedAudioSystem::removeDevice(AudioObjectID id)
{
    if (!findDevice(id))
        return;
    pauseIO();
    devices_.erase(id);
    resumeIO();
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    if (defaultInput_ == id) {
        AudioObjectID next = 0;
        for (auto& [otherID, device] : devices_)
            if (device->hasInput() && !device->isPrivate) {
                next = otherID;
                break;
            }
        setDefaultInputDevice(next);
    }
    if (defaultOutput_ == id)
        setDefaultOutputDevice(0);
}

void SimulatedAudioSystem::setDefaultInputDevice(AudioObjectID id)
{
    defaultInput_ = id;
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
}

void SimulatedAudioSystem::setDefaultOutputDevice(AudioObjectID id)
{
    defaultOutput_ = id;
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
}

void SimulatedAudioSystem::setInputSignal(AudioObjectID id, SimulatedSignal signal)
{
    if (Device* device = findDevice(id)) {
        pauseIO();
        device->description.input = std::move(signal);
        resumeIO();
    }
}

std::vector<AudioObjectID> SimulatedAudioSystem::inputStreamIDs(AudioObjectID id) const
{
    const Device* device = findDevice(id);
    return device ? device->inputStreams : std::vector<AudioObjectID>{};
}

std::optional<AudioObjectID> SimulatedAudioSystem::deviceWithUID(const std::string& uid) const
{
    for (auto& [id, device] : devices_)
        if (device->description.uid == uid)
            return id;
    return std::nullopt;
}

double SimulatedAudioSystem::nominalSampleRate(AudioObjectID id) const
{
    const Device* device = findDevice(id);
    return device ? device->rate() : 0.0;
}

void SimulatedAudioSystem::addApplication(std::string bundleID, SimulatedSignal signal)
{
    pauseIO();
    applications_[std::move(bundleID)] = std::move(signal);
    resumeIO();
}

void SimulatedAudioSystem::removeApplication(const std::string& bundleID)
{
    pauseIO();
    applications_.erase(bundleID);
    resumeIO();
}

void SimulatedAudioSystem::setTapSampleRate(double rate)
{
    pauseIO();
    tapSampleRate_ = rate;
    resumeIO();
}

void SimulatedAudioSystem::setTapBufferFrameSize(std::uint32_t frames) { tapBufferFrameSize_ = frames; }

void SimulatedAudioSystem::setMicrophoneAuthorization(AVAuthorizationStatus status) { authorization_ = status; }

void SimulatedAudioSystem::setMicrophoneAccessAnswer(bool granted) { accessAnswer_ = granted; }

int SimulatedAudioSystem::microphoneAccessRequests() const { return accessRequests_; }

AVAuthorizationStatus SimulatedAudioSystem::microphoneAuthorizationStatus() { return authorization_.load(); }

void SimulatedAudioSystem::requestMicrophoneAccess(std::function<void(bool granted)> completion)
{
    ++accessRequests_;
    const bool granted = accessAnswer_;
    // The platform answers on a thread of its own, after the user decides.
    answerThreads_.emplace_back([this, granted, completion = std::move(completion)] {
        authorization_ = granted ? AVAuthorizationStatus::authorized : AVAuthorizationStatus::denied;
        if (completion)
            completion(granted);
    });
}

// ---------------------------------------------------------------------------
// Inspection

std::size_t SimulatedAudioSystem::ioProcCount(AudioObjectID id) const
{
    const Device* device = findDevice(id);
    return device ? device->ioProcs.size() : 0;
}

std::size_t SimulatedAudioSystem::runningIOProcCount(AudioObjectID id) const
{
    const Device* device = findDevice(id);
    if (!device)
        return 0;
    return std::size_t(std::count_if(device->ioProcs.begin(), device->ioProcs.end(),
                                     [](auto& p) { return p->running; }));
}

std::size_t SimulatedAudioSystem::ioProcCountOnAllDevices() const
{
    std::size_t count = 0;
    for (auto& [id, device] : devices_)
        count += device->ioProcs.size();
    return count;
}

std::size_t SimulatedAudioSystem::processTapCount() const { return taps_.size(); }

std::size_t SimulatedAudioSystem::aggregateDeviceCount() const
{
    return std::size_t(std::count_if(devices_.begin(), devices_.end(), [](auto& d) { return d.second->isAggregate; }));
}

std::optional<CATapDescription> SimulatedAudioSystem::lastTapDescription() const { return lastTapDescription_; }

std::optional<CFDictionary> SimulatedAudioSystem::lastAggregateDeviceDescription() const
{
    return lastAggregateDescription_;
}

std::vector<std::uint32_t> SimulatedAudioSystem::inputStreamUsage(AudioObjectID id, AudioDeviceIOProcID ioProc) const
{
    if (const Device* device = findDevice(id))
        for (auto& p : device->ioProcs)
            if (p->id() == ioProc)
                return p->inputStreamUsage;
    return {};
}
