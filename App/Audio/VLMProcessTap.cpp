#include "VLMProcessTap.h"

#include "VLMAudioError.h"
#include "VLMAudioHardware.h"
#include "VLMCaptureIOProc.h"

VLMProcessTap::VLMProcessTap(VLMAudioRingBuffer* ringBuffer) : ringBuffer(ringBuffer) {}

VLMProcessTap::~VLMProcessTap() { stop(); }

double VLMProcessTap::start()
{
    stop();

    CATapDescription description = CATapDescription::initStereoMixdownOfProcesses({});
    description.setName(tapName);
    description.setBundleIDs({velmoraBundleID, musicBundleID});
    description.setProcessRestoreEnabled(true);
    description.setPrivate(true);
    description.setMuteBehavior(CATapUnmuted);  // this program only listens

    AudioObjectID newTapID = 0;
    if (const OSStatus status = AudioHardwareCreateProcessTap(&description, &newTapID); status != kAudioHardwareNoError)
        throw VLMAudioError::operationFailed("Capturing Velmora Studio and Music", status);
    tapID = newTapID;

    try {
        const AudioStreamBasicDescription format = VLMAudioHardware::streamFormat(tapID);
        const std::optional<std::string> tapUID = VLMAudioHardware::stringProperty(tapID, kAudioTapPropertyUID);
        if (!tapUID)
            throw VLMAudioError::operationFailed("Reading the audio capture identifier",
                                                 kAudioHardwareUnspecifiedError);

        const CFDictionary aggregateDescription = {
            {kAudioAggregateDeviceNameKey, aggregateDeviceName},
            {kAudioAggregateDeviceUIDKey, aggregateDeviceUID},
            {kAudioAggregateDeviceIsPrivateKey, true},
            {kAudioAggregateDeviceTapAutoStartKey, false},
            {kAudioAggregateDeviceTapListKey,
             CFArray{CFDictionary{{kAudioSubTapUIDKey, *tapUID}, {kAudioSubTapDriftCompensationKey, true}}}},
        };
        AudioObjectID newDeviceID = 0;
        if (const OSStatus status = AudioHardwareCreateAggregateDevice(&aggregateDescription, &newDeviceID);
            status != kAudioHardwareNoError)
            throw VLMAudioError::operationFailed("Creating the private audio capture device", status);
        aggregateDeviceID = newDeviceID;

        AudioDeviceIOProcID newIOProcID = nullptr;
        const OSStatus created = AudioDeviceCreateIOProcIDWithBlock(&newIOProcID, aggregateDeviceID, nullptr,
                                                                    VLMMakeCaptureIOBlock(ringBuffer));
        if (created != kAudioHardwareNoError || !newIOProcID)
            throw VLMAudioError::operationFailed("Preparing captured audio", created);
        ioProcID = newIOProcID;

        if (const OSStatus started = AudioDeviceStart(aggregateDeviceID, newIOProcID); started != kAudioHardwareNoError)
            throw VLMAudioError::operationFailed("Starting captured audio", started);
        return format.mSampleRate;
    } catch (...) {
        stop();
        throw;
    }
}

void VLMProcessTap::stop()
{
    if (aggregateDeviceID != 0) {
        if (ioProcID) {
            AudioDeviceStop(aggregateDeviceID, *ioProcID);
            AudioDeviceDestroyIOProcID(aggregateDeviceID, *ioProcID);
            ioProcID.reset();
        }
        AudioHardwareDestroyAggregateDevice(aggregateDeviceID);
        aggregateDeviceID = 0;
    } else {
        ioProcID.reset();
    }
    if (tapID != 0) {
        AudioHardwareDestroyProcessTap(tapID);
        tapID = 0;
    }
}
