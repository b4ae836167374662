// The object model's property answers on PipeWire: the system object, device
// nodes and their streams, the process's taps and aggregate devices. Rates
// and buffer sizes are the graph's: the program's node runs at the graph's
// rate, and PipeWire converts every device to it.

#include "PipeWireAudioSystemImpl.h"

#include "AudioHardware/PowerHint.h"

#include <cmath>
#include <cstring>

using pipewire::Node;

namespace {

template <class T>
OSStatus writeScalar(const T& value, std::uint32_t* ioSize, void* out)
{
    if (*ioSize < sizeof(T))
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(out, &value, sizeof(T));
    *ioSize = sizeof(T);
    return kAudioHardwareNoError;
}

OSStatus writeIDs(const std::vector<AudioObjectID>& ids, std::uint32_t* ioSize, void* out)
{
    const std::size_t count = std::min<std::size_t>(ids.size(), *ioSize / sizeof(AudioObjectID));
    if (count)
        std::memcpy(out, ids.data(), count * sizeof(AudioObjectID));
    *ioSize = std::uint32_t(count * sizeof(AudioObjectID));
    return kAudioHardwareNoError;
}

OSStatus writeString(const std::string& value, std::uint32_t* ioSize, void* out)
{
    if (*ioSize < sizeof(CFStringRef))
        return kAudioHardwareBadPropertySizeError;
    CFStringRef string = CFStringCreateWithUTF8(value);
    std::memcpy(out, &string, sizeof string);
    *ioSize = sizeof(CFStringRef);
    return kAudioHardwareNoError;
}

} // namespace

OSStatus PipeWireAudioSystem::Impl::readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 std::uint32_t qualifierSize, const void* qualifier,
                                                 std::uint32_t* ioSize, void* out, bool sizeOnly) const
{
    const AudioObjectPropertySelector selector = address.mSelector;
    // Each answers a size request, or writes the value.
    auto scalar = [&](auto value) -> OSStatus {
        if (sizeOnly) {
            *ioSize = sizeof(value);
            return kAudioHardwareNoError;
        }
        return writeScalar(value, ioSize, out);
    };
    auto idList = [&](const std::vector<AudioObjectID>& ids) -> OSStatus {
        if (sizeOnly) {
            *ioSize = std::uint32_t(ids.size() * sizeof(AudioObjectID));
            return kAudioHardwareNoError;
        }
        return writeIDs(ids, ioSize, out);
    };
    auto string = [&](const std::string& value) -> OSStatus {
        if (sizeOnly) {
            *ioSize = sizeof(CFStringRef);
            return kAudioHardwareNoError;
        }
        return writeString(value, ioSize, out);
    };
    const pipewire::Graph* g = graph();

    if (object == kAudioObjectSystemObject) {
        // Without a server there are no devices to list, look up or name as
        // defaults, and the caller learns why, as from a stopped audio server
        // (the process's own aggregate devices are still found by UID).
        if (!g)
            switch (selector) {
            case kAudioHardwarePropertyDevices:
            case kAudioHardwarePropertyDefaultInputDevice:
            case kAudioHardwarePropertyDefaultOutputDevice:
                return kAudioHardwareNotRunningError;
            default:
                break;
            }
        switch (selector) {
        case kAudioHardwarePropertyDevices:
            return idList(g->deviceIDs());
        case kAudioHardwarePropertyPowerHint:
            return scalar(std::uint32_t(favorsSavingPower ? kAudioHardwarePowerHintFavorSavingPower
                                                          : kAudioHardwarePowerHintNone));
        case kAudioHardwarePropertyDefaultInputDevice:
            return scalar(g->defaultDevice("default.audio.source"));
        case kAudioHardwarePropertyDefaultOutputDevice:
            return scalar(g->defaultDevice("default.audio.sink"));
        case kAudioHardwarePropertyIOStall:
            return scalar(session && session->cycleWatch ? session->cycleWatch->state() : kAudioHardwareIORunning);
        case kAudioHardwarePropertyTranslateUIDToDevice: {
            if (sizeOnly)
                return scalar(AudioObjectID(0));
            if (qualifierSize < sizeof(CFStringRef) || !qualifier)
                return kAudioHardwareBadPropertySizeError;
            CFStringRef uid = nullptr;
            std::memcpy(&uid, qualifier, sizeof uid);
            if (!uid)
                return kAudio_ParamError;
            const std::string text = CFStringGetUTF8(uid);
            AudioObjectID found = kAudioObjectUnknown;
            if (const Node* node = g ? g->listedNodeNamed(text) : nullptr)
                found = node->objectID;
            for (const auto& [id, aggregate] : aggregates)
                if (aggregate->uid == text)
                    found = id;
            // Only the process's own devices are there to find.
            if (!g && found == kAudioObjectUnknown)
                return kAudioHardwareNotRunningError;
            return scalar(found);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    // Every device, the process's own aggregates too, runs at the graph's
    // rate and quantum.
    if (nodeByObject(object) || aggregates.count(object)) {
        if (selector == kAudioDevicePropertyNominalSampleRate)
            return scalar(graphRate());
        if (selector == kAudioDevicePropertyBufferFrameSize)
            return scalar(graphQuantum());
    }

    if (const Node* node = nodeByObject(object)) {
        switch (selector) {
        case kAudioDevicePropertyDeviceUID:
            return string(node->name());
        case kAudioObjectPropertyName:
            return string(node->displayName());
        case kAudioDevicePropertyStreams: {
            std::vector<AudioObjectID> streams;
            const bool input = address.mScope != kAudioObjectPropertyScopeOutput;
            const bool output = address.mScope != kAudioObjectPropertyScopeInput;
            if (input && node->inputChannels())
                streams.push_back(node->inputStreamID);
            if (output && node->outputChannels())
                streams.push_back(node->outputStreamID);
            return idList(streams);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const Node* node = g ? g->nodeByStream(object) : nullptr) {
        if (selector != kAudioStreamPropertyVirtualFormat)
            return kAudioHardwareUnknownPropertyError;
        const std::uint32_t channels = object == node->inputStreamID ? node->inputChannels() : node->outputChannels();
        return scalar(AudioStreamBasicDescriptionFloat32(graphRate(), channels));
    }

    if (auto tap = taps.find(object); tap != taps.end()) {
        switch (selector) {
        case kAudioTapPropertyUID:
            return string(tap->second->uid);
        case kAudioObjectPropertyName:
            return string(tap->second->name);
        case kAudioTapPropertyFormat:
            return scalar(AudioStreamBasicDescriptionFloat32(graphRate(), 2));
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (auto it = aggregates.find(object); it != aggregates.end()) {
        const Aggregate& aggregate = *it->second;
        switch (selector) {
        case kAudioDevicePropertyDeviceUID:
            return string(aggregate.uid);
        case kAudioObjectPropertyName:
            return string(aggregate.name);
        case kAudioDevicePropertyStreams:
            return idList(address.mScope == kAudioObjectPropertyScopeOutput ? std::vector<AudioObjectID>{}
                                                                              : std::vector{aggregate.streamID});
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (aggregateByStream(object)) {
        if (selector != kAudioStreamPropertyVirtualFormat)
            return kAudioHardwareUnknownPropertyError;
        return scalar(AudioStreamBasicDescriptionFloat32(graphRate(), 2));
    }

    return kAudioHardwareBadObjectError;
}

OSStatus PipeWireAudioSystem::Impl::writeProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                  std::uint32_t size, const void* data)
{
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyPowerHint) {
        std::uint32_t hint = 0;
        if (size < sizeof hint || !data)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&hint, data, sizeof hint);
        favorsSavingPower = hint == kAudioHardwarePowerHintFavorSavingPower;
        updateNodeActivity();
        return kAudioHardwareNoError;
    }
    if (!nodeByObject(object))
        return objectExists(object) ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;

    switch (address.mSelector) {
    case kAudioDevicePropertyNominalSampleRate: {
        double rate = 0;
        if (size < sizeof rate || !data)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&rate, data, sizeof rate);
        // A device runs at the graph's rate; asking for that rate is all a
        // device can be given without changing it for every application.
        return std::fabs(rate - graphRate()) < 0.5 ? kAudioHardwareNoError : kAudioDeviceUnsupportedFormatError;
    }
    case kAudioDevicePropertyIOProcStreamUsage: {
        constexpr std::size_t header = offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn);
        if (size < header || !data)
            return kAudioHardwareBadPropertySizeError;
        AudioHardwareIOProcStreamUsage usage{};
        std::memcpy(&usage, data, header);
        if (size < header + 4 * std::size_t(usage.mNumberStreams))
            return kAudioHardwareBadPropertySizeError;
        IOProc* proc = findIOProc(object, static_cast<AudioDeviceIOProcID>(usage.mIOProc));
        if (!proc)
            return kAudioHardwareIllegalOperationError;
        if (address.mScope == kAudioObjectPropertyScopeInput) {
            std::uint32_t first = 0;
            if (usage.mNumberStreams)
                std::memcpy(&first, static_cast<const std::uint8_t*>(data) + header, sizeof first);
            proc->inputEnabled = usage.mNumberStreams && first;
        }
        return kAudioHardwareNoError;
    }
    default: {
        std::uint32_t ignored = 0;
        const bool known = readProperty(object, address, 0, nullptr, &ignored, nullptr, true)
                        != kAudioHardwareUnknownPropertyError;
        return known ? kAudioHardwareIllegalOperationError : kAudioHardwareUnknownPropertyError;
    }
    }
}
