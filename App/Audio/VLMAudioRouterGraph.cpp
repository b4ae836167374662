// Building and tearing down the audio graph: the process tap and the
// microphone, each through its ring buffer, into an engine that plays the mix
// into the virtual device.

#include "VLMAudioRouter.h"

#include "AVAudioEngine.h"
#include "AudioUnit.h"
#include "VLMAudioBacklogLimiter.h"
#include "VLMAudioError.h"
#include "VLMAudioHardware.h"
#include "VLMMicrophoneCapture.h"
#include "VLMProcessTap.h"
#include "VLMVirtualOutputDevice.h"

#include <algorithm>

namespace {

// Runs on the engine's render thread: the ring buffer read, which pads with
// silence what has not arrived, after the limiter has dropped any backlog.
// Each graph gets a fresh limiter, so every start begins with the newest frames.
AVAudioSourceNodeRenderBlock renderBlockReading(VLMAudioRingBuffer* ringBuffer)
{
    return [ringBuffer, limiter = VLMAudioBacklogLimiter()](bool*, const AudioTimeStamp*,
                                                            AVAudioFrameCount frameCount,
                                                            AudioBufferList* outputData) mutable -> OSStatus {
        limiter.willRead(ringBuffer, frameCount);
        VLMAudioRingBufferRead(ringBuffer, outputData, frameCount);
        return kAudioHardwareNoError;
    };
}

std::shared_ptr<AVAudioFormat> stereoFormat(double sampleRate)
{
    auto format = AVAudioFormat::standardFormatWithSampleRate(sampleRate, VLMVirtualOutputDevice::channelCount);
    if (!format)
        throw VLMAudioError::operationFailed("Creating the captured audio format", kAudioHardwareUnspecifiedError);
    return format;
}

} // namespace

void VLMAudioRouter::startAudio(const std::string& microphoneUID, bool usesSystemDefault)
{
    stopAudio();
    awaitingMicrophone_ = false;  // whatever this start finds decides what happens next
    setStatus(VLMAudioRouterStatus::starting());
    selectedMicrophoneUID_ = microphoneUID;
    usesSystemDefaultMicrophone_ = usesSystemDefault;
    tellDelegateMicrophonesChanged();

    // What this attempt builds stays local until the engine runs.
    std::unique_ptr<VLMProcessTap> newTap;
    std::unique_ptr<VLMMicrophoneCapture> newCapture;
    std::shared_ptr<AVAudioEngine> newEngine;
    std::shared_ptr<AVAudioMixerNode> newVelmoraMixer, newMicrophoneMixer;
    try {
        auto microphone = std::find_if(microphones_.begin(), microphones_.end(),
                                       [&](const VLMAudioDevice& d) { return d.uid == microphoneUID; });
        if (microphone == microphones_.end())
            throw VLMAudioError::microphoneUnavailable();
        const AudioObjectID microphoneDeviceID = microphone->id;

        const std::optional<AudioObjectID> virtualDevice =
            VLMAudioHardware::deviceID(VLMVirtualOutputDevice::deviceUID);
        if (!virtualDevice) {
            setStatus(VLMAudioRouterStatus::driverMissing());
            return;
        }

        VLMAudioRingBufferReset(processRingBuffer);
        VLMAudioRingBufferReset(microphoneRingBuffer);

        newTap = std::make_unique<VLMProcessTap>(processRingBuffer);
        const double tapRate = newTap->start();
        if (!VLMVirtualOutputDevice::isSupportedSampleRate(tapRate))
            throw VLMAudioError::unsupportedSampleRate(tapRate);

        const OSStatus rateStatus =
            AudioObjectSetPropertyData(*virtualDevice, &VLMVirtualOutputDevice::nominalSampleRateAddress, 0, nullptr,
                                       sizeof tapRate, &tapRate);
        if (rateStatus != kAudioHardwareNoError)
            throw VLMAudioError::operationFailed("Setting the virtual device sample rate", rateStatus);

        newCapture = std::make_unique<VLMMicrophoneCapture>(microphoneRingBuffer);
        const double microphoneRate = newCapture->start(microphoneDeviceID);

        newEngine = std::make_shared<AVAudioEngine>();
        AudioUnit outputUnit = newEngine->outputNode()->audioUnit();
        if (!outputUnit)
            throw VLMAudioError::operationFailed("Opening the audio engine", kAudioHardwareUnspecifiedError);
        const AudioObjectID outputDevice = *virtualDevice;
        const OSStatus deviceStatus = AudioUnitSetProperty(outputUnit, kAudioOutputUnitProperty_CurrentDevice,
                                                           kAudioUnitScope_Global, 0, &outputDevice,
                                                           sizeof outputDevice);
        if (deviceStatus != kAudioHardwareNoError)
            throw VLMAudioError::operationFailed("Selecting an audio device", deviceStatus);

        const std::shared_ptr<AVAudioFormat> musicFormat = stereoFormat(tapRate);
        const std::shared_ptr<AVAudioFormat> microphoneFormat = stereoFormat(microphoneRate);

        auto musicSource = std::make_shared<AVAudioSourceNode>(musicFormat, renderBlockReading(processRingBuffer));
        auto microphoneSource =
            std::make_shared<AVAudioSourceNode>(microphoneFormat, renderBlockReading(microphoneRingBuffer));
        newVelmoraMixer = std::make_shared<AVAudioMixerNode>();
        newMicrophoneMixer = std::make_shared<AVAudioMixerNode>();

        newEngine->attach(musicSource);
        newEngine->attach(microphoneSource);
        newEngine->attach(newVelmoraMixer);
        newEngine->attach(newMicrophoneMixer);
        newEngine->connect(musicSource, newVelmoraMixer, musicFormat);
        newEngine->connect(newVelmoraMixer, newEngine->mainMixerNode(), musicFormat);
        newEngine->connect(microphoneSource, newMicrophoneMixer, microphoneFormat);
        newEngine->connect(newMicrophoneMixer, newEngine->mainMixerNode(), nullptr);
        newEngine->connect(newEngine->mainMixerNode(), newEngine->outputNode(), musicFormat);

        newVelmoraMixer->setOutputVolume(velmoraVolume_);
        newMicrophoneMixer->setOutputVolume(microphoneVolume_);
        installMeterTap(*newVelmoraMixer, VLMAudioSource::velmora);
        installMeterTap(*newMicrophoneMixer, VLMAudioSource::microphone);

        newEngine->prepare();
        newEngine->start();
    } catch (const std::exception& error) {
        const std::string message = error.what();
        // Reader before writers: the engine goes first, then the capture and the tap stop themselves.
        newEngine.reset();
        newVelmoraMixer.reset();
        newMicrophoneMixer.reset();
        newCapture.reset();
        newTap.reset();
        stopAudio();
        setStatus(VLMAudioRouterStatus::failed(message));
        return;
    }

    processTap = std::move(newTap);
    microphoneCapture = std::move(newCapture);
    engine = std::move(newEngine);
    velmoraMixer = std::move(newVelmoraMixer);
    microphoneMixer = std::move(newMicrophoneMixer);
    setStatus(VLMAudioRouterStatus::ready());
}

void VLMAudioRouter::stopAudio()
{
    ++meterGeneration;  // levels still queued from the old graph become stale
    if (engine) {
        engine->stop();
        engine->reset();
        engine.reset();
    }
    velmoraMixer.reset();
    microphoneMixer.reset();
    if (microphoneCapture) {
        microphoneCapture->stop();
        microphoneCapture.reset();
    }
    if (processTap) {
        processTap->stop();
        processTap.reset();
    }
    VLMAudioRingBufferReset(processRingBuffer);
    VLMAudioRingBufferReset(microphoneRingBuffer);
    if (auto listener = delegate.lock()) {
        listener->audioRouter(*this, 0.0f, VLMAudioSource::velmora);
        listener->audioRouter(*this, 0.0f, VLMAudioSource::microphone);
    }
}
