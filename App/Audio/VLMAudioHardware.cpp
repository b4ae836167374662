#include "VLMAudioHardware.h"

#include "AudioHardware/AudioHardware.h"
#include "AudioHardware/PowerHint.h"
#include "VLMVirtualOutputDevice.h"

#include <QCollator>
#include <QLocale>
#include <QString>

#include <algorithm>

namespace {

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// Reads a fixed-size global property (a value that starts zeroed), or throws
// operationFailed with `context`. The qualifier is optional.
template <class T>
T readValue(AudioObjectID objectID, AudioObjectPropertySelector selector, const char* context,
            CFStringRef qualifier = nullptr)
{
    const AudioObjectPropertyAddress address = globalAddress(selector);
    T value{};
    std::uint32_t size = sizeof value;
    const OSStatus status = AudioObjectGetPropertyData(objectID, &address, qualifier ? sizeof qualifier : 0,
                                                       qualifier ? &qualifier : nullptr, &size, &value);
    if (status != kAudioHardwareNoError)
        throw VLMAudioError::operationFailed(context, status);
    return value;
}

// Reads a string property into a std::string, releasing the platform's reference.
std::optional<std::string> readString(AudioObjectID objectID, AudioObjectPropertySelector selector, OSStatus& status)
{
    const AudioObjectPropertyAddress address = globalAddress(selector);
    CFStringRef value = nullptr;
    std::uint32_t size = sizeof value;
    status = AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, &value);
    CFReleaser<CFStringRef> owned(value);
    if (status != kAudioHardwareNoError || !value)
        return std::nullopt;
    return CFStringGetUTF8(value);
}

// The user's locale; under the C locale (no locale configured) Qt compares
// code points, so a neutral English collation stands in for it.
QLocale collationLocale()
{
    QLocale locale;
    return locale.language() == QLocale::C ? QLocale(QLocale::English) : locale;
}

} // namespace

std::vector<AudioObjectID> VLMAudioHardware::objectIDs(AudioObjectID objectID,
                                                       const AudioObjectPropertyAddress& address)
{
    std::uint32_t size = 0;
    OSStatus status = AudioObjectGetPropertyDataSize(objectID, &address, 0, nullptr, &size);
    if (status != kAudioHardwareNoError)
        throw VLMAudioError::operationFailed("Reading the audio device list", status);
    const std::size_t count = size / sizeof(AudioObjectID);
    if (count == 0)
        return {};
    std::vector<AudioObjectID> ids(count, 0);
    status = AudioObjectGetPropertyData(objectID, &address, 0, nullptr, &size, ids.data());
    if (status != kAudioHardwareNoError)
        throw VLMAudioError::operationFailed("Reading the audio device list", status);
    return ids;
}

std::uint32_t VLMAudioHardware::inputChannelCount(AudioObjectID deviceID)
{
    std::uint32_t channels = 0;
    for (AudioObjectID stream : objectIDs(deviceID, {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput,
                                                     kAudioObjectPropertyElementMain}))
        channels += readValue<AudioStreamBasicDescription>(stream, kAudioStreamPropertyVirtualFormat,
                                                           "Reading microphone channels")
                        .mChannelsPerFrame;
    return channels;
}

std::optional<std::string> VLMAudioHardware::stringProperty(AudioObjectID objectID,
                                                            AudioObjectPropertySelector selector)
{
    OSStatus status;
    std::optional<std::string> value = readString(objectID, selector, status);
    if (status != kAudioHardwareNoError)
        throw VLMAudioError::operationFailed("Reading an audio device property", status);
    return value;
}

std::vector<VLMAudioDevice> VLMAudioHardware::inputDevices()
{
    const std::vector<AudioObjectID> deviceIDs =
        objectIDs(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    std::vector<VLMAudioDevice> devices;
    for (AudioObjectID deviceID : deviceIDs) {
        const std::uint32_t channels = inputChannelCount(deviceID);
        if (channels == 0)
            continue;

        OSStatus status;
        std::optional<std::string> uid = readString(deviceID, kAudioDevicePropertyDeviceUID, status);
        if (status != kAudioHardwareNoError)
            throw VLMAudioError::operationFailed("Reading an audio device property", status);
        if (!uid)
            continue;
        std::optional<std::string> name = stringProperty(deviceID, kAudioObjectPropertyName);
        if (!name)
            continue;
        // The program's own output must never be offered as a microphone.
        if (*uid == VLMVirtualOutputDevice::deviceUID)
            continue;
        devices.push_back({deviceID, std::move(*uid), std::move(*name), channels});
    }

    // The file manager's order: case-insensitive, digits by value, locale-aware.
    QCollator collator(collationLocale());
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<std::pair<QString, VLMAudioDevice>> keyed;
    keyed.reserve(devices.size());
    for (VLMAudioDevice& device : devices)
        keyed.emplace_back(QString::fromStdString(device.name), std::move(device));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [&](const auto& a, const auto& b) { return collator.compare(a.first, b.first) < 0; });
    devices.clear();
    for (auto& entry : keyed)
        devices.push_back(std::move(entry.second));
    return devices;
}

AudioObjectID VLMAudioHardware::defaultInputDeviceID()
{
    return readValue<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice,
                                    "Finding the default microphone");
}

std::uint32_t VLMAudioHardware::ioStall()
{
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyIOStall, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t stall = kAudioHardwareIORunning;
    std::uint32_t size = sizeof stall;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &stall)
        != kAudioHardwareNoError)
        return kAudioHardwareIORunning;
    return stall;
}

std::optional<AudioObjectID> VLMAudioHardware::deviceID(const std::string& forUID)
{
    CFReleaser<CFStringRef> uid(CFStringCreateWithUTF8(forUID));
    // The context names the virtual device: it is the only UID ever looked up.
    const auto deviceID = readValue<AudioObjectID>(kAudioObjectSystemObject, kAudioHardwarePropertyTranslateUIDToDevice,
                                                   "Finding the Velmora Studio Connect device", uid.get());
    if (deviceID == kAudioObjectUnknown)
        return std::nullopt;
    return deviceID;
}

double VLMAudioHardware::nominalSampleRate(AudioObjectID deviceID)
{
    return readValue<double>(deviceID, kAudioDevicePropertyNominalSampleRate, "Reading the microphone sample rate");
}

AudioStreamBasicDescription VLMAudioHardware::streamFormat(AudioObjectID tapID)
{
    return readValue<AudioStreamBasicDescription>(tapID, kAudioTapPropertyFormat, "Reading the captured audio format");
}

void VLMAudioHardware::setFavorsSavingPower(bool favors)
{
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyPowerHint, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const std::uint32_t hint = favors ? kAudioHardwarePowerHintFavorSavingPower : kAudioHardwarePowerHintNone;
    AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, sizeof hint, &hint);
}
