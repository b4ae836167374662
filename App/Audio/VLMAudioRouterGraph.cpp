// Building and tearing down the audio graph: the process tap and the
// microphone, each through its ring buffer, into an engine that plays the mix
// into the virtual device.

#include "VLMAudioRouterGraph.h"

#include "AudioUnit.h"
#include "VLMAudioBacklogLimiter.h"
#include "VLMAudioError.h"
#include "VLMAudioHardware.h"
#include "VLMVirtualOutputDevice.h"

#include <algorithm>

namespace {

// Runs on the engine's render thread: the ring buffer read, which pads with
// silence what has not arrived or what the limiter keeps back, after the
// limiter has dropped any backlog.
// Each graph gets a fresh limiter, so every start begins with the newest frames.
AVAudioSourceNodeRenderBlock renderBlockReading(VLMAudioRingBuffer* ringBuffer)
{
    return [ringBuffer, limiter = VLMAudioBacklogLimiter()](bool*, const AudioTimeStamp*,
                                                            AVAudioFrameCount frameCount,
                                                            AudioBufferList* outputData) mutable -> OSStatus {
        const std::uint32_t taken = limiter.willRead(ringBuffer, frameCount);
        VLMAudioRingBufferRead(ringBuffer, outputData, taken);
        for (std::uint32_t frame = taken; frame < frameCount; ++frame)
            VLMAudioRingBufferSetOutputSamples(outputData, frame, 0.0f, 0.0f);
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
    auto graph = std::make_unique<Graph>();
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

        VLMAudioRingBufferReset(processRingBuffer.get());
        VLMAudioRingBufferReset(microphoneRingBuffer.get());

        graph->processTap = std::make_unique<VLMProcessTap>(processRingBuffer.get());
        const double tapRate = graph->processTap->start();
        if (!VLMVirtualOutputDevice::isSupportedSampleRate(tapRate))
            throw VLMAudioError::unsupportedSampleRate(tapRate);

        const OSStatus rateStatus =
            AudioObjectSetPropertyData(*virtualDevice, &VLMVirtualOutputDevice::nominalSampleRateAddress, 0, nullptr,
                                       sizeof tapRate, &tapRate);
        if (rateStatus != kAudioHardwareNoError)
            throw VLMAudioError::operationFailed("Setting the virtual device sample rate", rateStatus);

        graph->microphoneCapture = std::make_unique<VLMMicrophoneCapture>(microphoneRingBuffer.get());
        const double microphoneRate = graph->microphoneCapture->start(microphoneDeviceID);

        graph->engine = std::make_shared<AVAudioEngine>();
        AVAudioEngine& engine = *graph->engine;
        AudioUnit outputUnit = engine.outputNode()->audioUnit();
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

        auto musicSource = std::make_shared<AVAudioSourceNode>(musicFormat, renderBlockReading(processRingBuffer.get()));
        auto microphoneSource =
            std::make_shared<AVAudioSourceNode>(microphoneFormat, renderBlockReading(microphoneRingBuffer.get()));
        graph->velmoraMixer = std::make_shared<AVAudioMixerNode>();
        graph->microphoneMixer = std::make_shared<AVAudioMixerNode>();

        connectMix(engine, musicSource, microphoneSource, graph->velmoraMixer, graph->microphoneMixer, musicFormat,
                   microphoneFormat);

        graph->velmoraMixer->setOutputVolume(velmoraVolume_);
        graph->microphoneMixer->setOutputVolume(microphoneVolume_);
        installMeterTap(*graph->velmoraMixer, VLMAudioSource::velmora);
        installMeterTap(*graph->microphoneMixer, VLMAudioSource::microphone);
        engine.setTapsPaused(!metersShown_);

        engine.prepare();
        engine.start();
    } catch (const std::exception& error) {
        const std::string message = error.what();
        graph.reset();  // the same teardown as a stop
        stopAudio();
        setStatus(VLMAudioRouterStatus::failed(message));
        return;
    }

    graph_ = std::move(graph);
    setStatus(VLMAudioRouterStatus::ready());
}

void VLMAudioRouter::connectMix(AVAudioEngine& engine, const std::shared_ptr<AVAudioSourceNode>& musicSource,
                                const std::shared_ptr<AVAudioSourceNode>& microphoneSource,
                                const std::shared_ptr<AVAudioMixerNode>& velmoraMixer,
                                const std::shared_ptr<AVAudioMixerNode>& microphoneMixer,
                                const std::shared_ptr<AVAudioFormat>& musicFormat,
                                const std::shared_ptr<AVAudioFormat>& microphoneFormat)
{
    engine.attach(musicSource);
    engine.attach(microphoneSource);
    engine.attach(velmoraMixer);
    engine.attach(microphoneMixer);
    engine.connect(musicSource, velmoraMixer, musicFormat);
    engine.connect(velmoraMixer, engine.mainMixerNode(), musicFormat);
    engine.connect(microphoneSource, microphoneMixer, microphoneFormat);
    engine.connect(microphoneMixer, engine.mainMixerNode(), nullptr);
    engine.connect(engine.mainMixerNode(), engine.outputNode(), musicFormat);
}

void VLMAudioRouter::stopAudio()
{
    ++meterGeneration;  // levels still queued from the old graph become stale
    graph_.reset();
    VLMAudioRingBufferReset(processRingBuffer.get());
    VLMAudioRingBufferReset(microphoneRingBuffer.get());
    if (auto listener = delegate.lock()) {
        listener->audioRouter(*this, 0.0f, VLMAudioSource::velmora);
        listener->audioRouter(*this, 0.0f, VLMAudioSource::microphone);
    }
}
