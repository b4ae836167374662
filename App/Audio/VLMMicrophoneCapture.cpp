#include "VLMMicrophoneCapture.h"

#include "VLMAudioError.h"
#include "VLMAudioHardware.h"
#include "VLMCaptureIOProc.h"

#include <cstdlib>
#include <cstring>
#include <memory>

VLMMicrophoneCapture::VLMMicrophoneCapture(VLMAudioRingBuffer* ringBuffer) : ringBuffer(ringBuffer) {}

VLMMicrophoneCapture::~VLMMicrophoneCapture() { stop(); }

double VLMMicrophoneCapture::start(AudioObjectID newDeviceID)
{
    stop();
    deviceID = newDeviceID;
    try {
        const double rate = VLMAudioHardware::nominalSampleRate(deviceID);

        AudioDeviceIOProcID newIOProcID = nullptr;
        const OSStatus status =
            AudioDeviceCreateIOProcIDWithBlock(&newIOProcID, deviceID, nullptr, VLMMakeCaptureIOBlock(ringBuffer));
        if (status != kAudioHardwareNoError || !newIOProcID)
            throw VLMAudioError::operationFailed("Preparing microphone capture", status);
        ioProcID = newIOProcID;

        enableInputStreams(deviceID, newIOProcID);

        if (const OSStatus started = AudioDeviceStart(deviceID, newIOProcID); started != kAudioHardwareNoError)
            throw VLMAudioError::operationFailed("Starting microphone capture", started);
        return rate;
    } catch (...) {
        stop();  // a failed start leaves nothing registered on the device
        throw;
    }
}

void VLMMicrophoneCapture::stop()
{
    if (isRunning()) {
        AudioDeviceStop(deviceID, *ioProcID);
        AudioDeviceDestroyIOProcID(deviceID, *ioProcID);
    }
    deviceID = 0;
    ioProcID.reset();
}

void VLMMicrophoneCapture::enableInputStreams(AudioObjectID device, AudioDeviceIOProcID ioProc)
{
    const AudioObjectPropertyAddress streamsAddress = {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput,
                                                       kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    OSStatus status = AudioObjectGetPropertyDataSize(device, &streamsAddress, 0, nullptr, &size);
    if (status != kAudioHardwareNoError)
        throw VLMAudioError::operationFailed("Reading microphone streams", status);
    if (size < sizeof(AudioObjectID))
        throw VLMAudioError::microphoneUnavailable();

    const std::uint32_t streamCount = size / sizeof(AudioObjectID);
    const std::uint32_t usageSize =
        std::uint32_t(offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn)) + 4 * streamCount;
    // A variable-length record: the count and the flags follow the IOProc id.
    std::unique_ptr<void, decltype(&std::free)> storage(std::calloc(1, usageSize), &std::free);
    auto* usage = static_cast<AudioHardwareIOProcStreamUsage*>(storage.get());
    usage->mIOProc = ioProc;
    usage->mNumberStreams = streamCount;
    std::uint32_t* flags = usage->mStreamIsOn;
    for (std::uint32_t i = 0; i < streamCount; ++i)
        flags[i] = 1;

    const AudioObjectPropertyAddress usageAddress = {kAudioDevicePropertyIOProcStreamUsage,
                                                     kAudioObjectPropertyScopeInput, kAudioObjectPropertyElementMain};
    status = AudioObjectSetPropertyData(device, &usageAddress, 0, nullptr, usageSize, usage);
    if (status != kAudioHardwareNoError)
        throw VLMAudioError::operationFailed("Enabling microphone streams", status);
}
