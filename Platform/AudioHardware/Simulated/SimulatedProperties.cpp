// Property reads and writes, and the listeners their changes notify.

#include "SimulatedAudioSystemImpl.h"

#include "Dispatch/Dispatch.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace {

constexpr std::uint32_t kPointerSize = sizeof(void*);

// Writes a scalar property value: the caller's buffer must hold it whole.
template <class T>
OSStatus writeScalar(const T& value, std::uint32_t* ioSize, void* out, bool sizeOnly)
{
    if (!sizeOnly) {
        if (*ioSize < sizeof(T))
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(out, &value, sizeof(T));
    }
    *ioSize = sizeof(T);
    return kAudioHardwareNoError;
}

// Writes an id list: as many whole ids as fit, as the platform does.
OSStatus writeList(const std::vector<AudioObjectID>& ids, std::uint32_t* ioSize, void* out, bool sizeOnly)
{
    if (sizeOnly) {
        *ioSize = std::uint32_t(ids.size() * sizeof(AudioObjectID));
        return kAudioHardwareNoError;
    }
    const std::size_t count = std::min<std::size_t>(ids.size(), *ioSize / sizeof(AudioObjectID));
    if (count)
        std::memcpy(out, ids.data(), count * sizeof(AudioObjectID));
    *ioSize = std::uint32_t(count * sizeof(AudioObjectID));
    return kAudioHardwareNoError;
}

OSStatus writeString(const std::optional<std::string>& text, std::uint32_t* ioSize, void* out, bool sizeOnly)
{
    CFStringRef ref = nullptr;
    if (!sizeOnly && *ioSize >= kPointerSize && text)
        ref = CFStringCreateWithUTF8(*text);
    return writeScalar(ref, ioSize, out, sizeOnly);
}

} // namespace

// ---------------------------------------------------------------------------
// Properties

OSStatus SimulatedAudioSystem::readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            std::uint32_t qualifierSize, const void* qualifier,
                                            std::uint32_t* ioSize, void* out, bool sizeOnly, bool withoutResult)
{
    const AudioObjectPropertySelector selector = address.mSelector;
    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDevices: {
            std::vector<AudioObjectID> ids;
            if (!withoutResult)
                for (auto& [id, device] : devices_)
                    if (!device->isPrivate)
                        ids.push_back(id);
            return writeList(ids, ioSize, out, sizeOnly);
        }
        case kAudioHardwarePropertyDefaultInputDevice:
            return writeScalar(withoutResult ? AudioObjectID(0) : defaultInput_, ioSize, out, sizeOnly);
        case kAudioHardwarePropertyDefaultOutputDevice:
            return writeScalar(withoutResult ? AudioObjectID(0) : defaultOutput_, ioSize, out, sizeOnly);
        case kAudioHardwarePropertyTranslateUIDToDevice: {
            if (qualifierSize != kPointerSize || !qualifier)
                return kAudioHardwareBadPropertySizeError;
            CFStringRef uid = *static_cast<const CFStringRef*>(qualifier);
            AudioObjectID found = 0;
            if (!withoutResult && uid)
                found = deviceWithUID(CFStringGetUTF8(uid)).value_or(0);
            return writeScalar(found, ioSize, out, sizeOnly);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (Device* device = findDevice(object)) {
        switch (selector) {
        case kAudioDevicePropertyDeviceUID:
            return writeString(withoutResult ? std::nullopt : device->description.uid, ioSize, out, sizeOnly);
        case kAudioObjectPropertyName:
            return writeString(withoutResult ? std::nullopt : device->description.name, ioSize, out, sizeOnly);
        case kAudioDevicePropertyStreams: {
            std::vector<AudioObjectID> ids;
            if (!withoutResult) {
                if (address.mScope != kAudioObjectPropertyScopeOutput)
                    ids = device->inputStreams;
                if (address.mScope != kAudioObjectPropertyScopeInput)
                    ids.insert(ids.end(), device->outputStreams.begin(), device->outputStreams.end());
            }
            return writeList(ids, ioSize, out, sizeOnly);
        }
        case kAudioDevicePropertyNominalSampleRate:
            return writeScalar(withoutResult ? 0.0 : device->rate(), ioSize, out, sizeOnly);
        case kAudioDevicePropertyBufferFrameSize:
            return writeScalar(withoutResult ? 0u : device->description.bufferFrameSize, ioSize, out, sizeOnly);
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (Tap* tap = findTap(object)) {
        switch (selector) {
        case kAudioTapPropertyUID:
            return writeString(withoutResult ? std::nullopt : std::optional(tap->uid), ioSize, out, sizeOnly);
        case kAudioObjectPropertyName:
            return writeString(withoutResult ? std::nullopt : std::optional(tap->description.name()), ioSize, out,
                               sizeOnly);
        case kAudioTapPropertyFormat: {
            AudioStreamBasicDescription format{};
            if (!withoutResult)
                format = AudioStreamBasicDescriptionFloat32(tapSampleRate_, 2);
            return writeScalar(format, ioSize, out, sizeOnly);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    for (auto& entry : devices_) {
        const Device* device = entry.second.get();
        auto streamFormat = [&](const std::vector<AudioObjectID>& streams,
                                const std::vector<std::uint32_t>& channels) -> std::optional<OSStatus> {
            for (std::size_t i = 0; i < streams.size(); ++i) {
                if (streams[i] != object)
                    continue;
                if (selector != kAudioStreamPropertyVirtualFormat)
                    return kAudioHardwareUnknownPropertyError;
                AudioStreamBasicDescription format{};
                if (!withoutResult)
                    format = AudioStreamBasicDescriptionFloat32(device->rate(), channels[i]);
                return writeScalar(format, ioSize, out, sizeOnly);
            }
            return std::nullopt;
        };
        if (auto status = streamFormat(device->inputStreams, device->description.inputStreamChannels))
            return *status;
        if (auto status = streamFormat(device->outputStreams, device->description.outputStreamChannels))
            return *status;
    }
    return kAudioHardwareBadObjectError;
}

OSStatus SimulatedAudioSystem::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                   std::uint32_t qualifierSize, const void* qualifier,
                                                   std::uint32_t* outSize)
{
    const SimulatedFault* fault = takeFault(SimulatedCall::getPropertyDataSize, object, address.mSelector);
    if (fault && !fault->withoutResult)
        return record(SimulatedCall::getPropertyDataSize, object, address.mSelector, fault->status);
    const OSStatus status = readProperty(object, address, qualifierSize, qualifier, outSize, nullptr, true,
                                         fault != nullptr);
    return record(SimulatedCall::getPropertyDataSize, object, address.mSelector, status);
}

OSStatus SimulatedAudioSystem::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               std::uint32_t qualifierSize, const void* qualifier,
                                               std::uint32_t* ioSize, void* out)
{
    const SimulatedFault* fault = takeFault(SimulatedCall::getPropertyData, object, address.mSelector);
    if (fault && !fault->withoutResult)
        return record(SimulatedCall::getPropertyData, object, address.mSelector, fault->status);
    const OSStatus status = readProperty(object, address, qualifierSize, qualifier, ioSize, out, false,
                                         fault != nullptr);
    return record(SimulatedCall::getPropertyData, object, address.mSelector, status);
}

OSStatus SimulatedAudioSystem::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               std::uint32_t, const void*, std::uint32_t size, const void* data)
{
    const AudioObjectPropertySelector selector = address.mSelector;
    auto finish = [&](OSStatus status) { return record(SimulatedCall::setPropertyData, object, selector, status); };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::setPropertyData, object, selector))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);

    Device* device = findDevice(object);
    if (!device)
        return finish(object == kAudioObjectSystemObject || findTap(object) ? kAudioHardwareUnknownPropertyError
                                                                            : kAudioHardwareBadObjectError);
    switch (selector) {
    case kAudioDevicePropertyNominalSampleRate: {
        if (size != sizeof(double))
            return finish(kAudioHardwareBadPropertySizeError);
        double rate;
        std::memcpy(&rate, data, sizeof rate);
        const auto& refused = device->description.refusedSampleRates;
        const bool aggregateMismatch = device->isAggregate && rate != tapSampleRate_;
        if (!std::isfinite(rate) || rate <= 0 || aggregateMismatch
            || std::find(refused.begin(), refused.end(), rate) != refused.end())
            return finish(kAudioDeviceUnsupportedFormatError);
        if (rate != device->rate()) {
            pauseIO();
            device->description.nominalSampleRate = rate;
            device->scheduled = false;
            resumeIO();
            notify(object, selector);
        }
        return finish(kAudioHardwareNoError);
    }
    case kAudioDevicePropertyIOProcStreamUsage: {
        if (size < offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn))
            return finish(kAudioHardwareBadPropertySizeError);
        void* ioProcID;
        std::uint32_t count;
        std::memcpy(&ioProcID, data, sizeof ioProcID);
        std::memcpy(&count, static_cast<const char*>(data) + sizeof ioProcID, sizeof count);
        const auto& streams =
            address.mScope == kAudioObjectPropertyScopeOutput ? device->outputStreams : device->inputStreams;
        if (count != streams.size() || size < offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) + 4 * count)
            return finish(kAudioHardwareBadPropertySizeError);
        auto it = std::find_if(device->ioProcs.begin(), device->ioProcs.end(),
                               [&](auto& p) { return p->id() == ioProcID; });
        if (it == device->ioProcs.end())
            return finish(kAudioHardwareIllegalOperationError);
        std::vector<std::uint32_t> flags(count);
        if (count)
            std::memcpy(flags.data(), static_cast<const char*>(data) + 12, 4 * count);
        if (address.mScope != kAudioObjectPropertyScopeOutput)
            (*it)->inputStreamUsage = std::move(flags);
        return finish(kAudioHardwareNoError);
    }
    case kAudioDevicePropertyDeviceUID:
    case kAudioObjectPropertyName:
    case kAudioDevicePropertyStreams:
        return finish(kAudioHardwareIllegalOperationError);
    default:
        return finish(kAudioHardwareUnknownPropertyError);
    }
}

// ---------------------------------------------------------------------------
// Listeners

OSStatus SimulatedAudioSystem::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                   dispatch_queue_t queue,
                                                   const AudioObjectPropertyListenerBlock& listener)
{
    auto finish = [&](OSStatus s) { return record(SimulatedCall::addPropertyListener, object, address.mSelector, s); };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::addPropertyListener, object, address.mSelector))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);
    if (object != kAudioObjectSystemObject && !findDevice(object) && !findTap(object))
        return finish(kAudioHardwareBadObjectError);
    listeners_.push_back(std::make_unique<Listener>(Listener{object, address, queue, listener}));
    return finish(kAudioHardwareNoError);
}

OSStatus SimulatedAudioSystem::removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                      dispatch_queue_t queue,
                                                      const AudioObjectPropertyListenerBlock& listener)
{
    auto finish = [&](OSStatus s) {
        return record(SimulatedCall::removePropertyListener, object, address.mSelector, s);
    };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::removePropertyListener, object, address.mSelector))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);
    auto it = std::find_if(listeners_.begin(), listeners_.end(), [&](const auto& l) {
        return l->object == object && l->address == address && l->queue == queue && l->block == listener;
    });
    if (it == listeners_.end())
        return finish(kAudioHardwareIllegalOperationError);
    listeners_.erase(it);
    return finish(kAudioHardwareNoError);
}

void SimulatedAudioSystem::notify(AudioObjectID object, AudioObjectPropertySelector selector)
{
    // Collected first: a listener called directly may add or remove listeners.
    std::vector<Listener*> matching;
    for (const auto& listener : listeners_)
        if (listener->object == object && listener->address.mSelector == selector)
            matching.push_back(listener.get());
    for (Listener* registration : matching) {
        const AudioObjectPropertyAddress address = registration->address;
        if (!registration->queue) {
            AudioObjectPropertyListenerBlock block = registration->block;
            block(1, &address);
            continue;
        }
        // The job finds the registration again when it runs: a listener removed
        // in the meantime is not called.
        dispatch_async(registration->queue, [this, alive = std::weak_ptr<const bool>(alive_), registration, address] {
            if (alive.expired())
                return;
            for (const auto& l : listeners_)
                if (l.get() == registration) {
                    AudioObjectPropertyListenerBlock block = l->block;
                    block(1, &address);
                    return;
                }
        });
    }
}

std::size_t SimulatedAudioSystem::listenerCount() const { return listeners_.size(); }
