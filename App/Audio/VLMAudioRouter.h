#pragma once
// The one object that owns the audio path: status, microphone selection, the
// engine graph that mixes the captured music and the microphone into the
// virtual device, level meters and the two gains. Main thread only.

#include "VLMAudioDevice.h"
#include "VLMAudioDeviceMonitor.h"
#include "VLMAudioRingBuffer.h"
#include "VLMAudioRouterStatus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class AVAudioEngine;
class AVAudioFormat;
class AVAudioMixerNode;
class AVAudioPCMBuffer;
class AVAudioSourceNode;
class VLMAudioMeterLevels;
class VLMAudioRouter;

// The router's listener; the router holds it weakly.
class VLMAudioRouterDelegate {
public:
    virtual ~VLMAudioRouterDelegate() = default;
    virtual void audioRouter(VLMAudioRouter& router, const VLMAudioRouterStatus& didChangeStatus) = 0;
    virtual void audioRouterDidUpdateMicrophones(VLMAudioRouter& router) = 0;
    virtual void audioRouter(VLMAudioRouter& router, float didUpdateLevel, VLMAudioSource source) = 0;
};

class VLMAudioRouter : public std::enable_shared_from_this<VLMAudioRouter> {
public:
    static constexpr float defaultVolume = 0.8f;
    static constexpr std::uint32_t ringBufferCapacity = 65536;
    // Frames each meter tap measures: one level per this many frames.
    static constexpr std::uint32_t meterTapFrames = 1024;
    // The failure shown while no audio server answers at all (every hardware
    // query fails with kAudioHardwareNotRunningError): without it the empty
    // device list would read as a missing microphone.
    static constexpr const char* audioServerNotRunningMessage = "The audio server is not running.";
    // The failure shown while the running graph gets no cycles (an input
    // frozen, or a hung server); it clears itself when they come back.
    static constexpr const char* audioStalledMessage = "An audio source stopped responding.";

    // Loads the gains, creates the monitor and both ring buffers. A ring
    // buffer that cannot be allocated stops the process.
    static std::shared_ptr<VLMAudioRouter> create();
    ~VLMAudioRouter();
    VLMAudioRouter(const VLMAudioRouter&) = delete;
    VLMAudioRouter& operator=(const VLMAudioRouter&) = delete;

    std::weak_ptr<VLMAudioRouterDelegate> delegate;
    std::function<void(const VLMAudioRouterStatus&)> statusDidChange;

    void start();
    void stop();
    void refreshMicrophones();
    void selectMicrophone(const std::string& uid);
    void selectSystemDefaultMicrophone();

    const std::vector<VLMAudioDevice>& microphones() const { return microphones_; }
    const std::optional<std::string>& selectedMicrophoneUID() const { return selectedMicrophoneUID_; }
    const std::optional<std::string>& defaultMicrophoneUID() const { return defaultMicrophoneUID_; }
    bool usesSystemDefaultMicrophone() const { return usesSystemDefaultMicrophone_; }
    const VLMAudioRouterStatus& status() const { return status_; }

    float velmoraVolume() const { return velmoraVolume_; }
    float microphoneVolume() const { return microphoneVolume_; }
    // Applied to the running mixer at once and stored in the user defaults.
    void setVelmoraVolume(float volume);
    void setMicrophoneVolume(float volume);

    // Hands the newest level of each source that its tap measured since the
    // last call to the delegate (velmora, then microphone). The meters call it
    // at most once per frame they draw, and not while nobody sees them, so
    // levels cross to the main thread only when they can be shown.
    void deliverMeterLevels();
    // Whether anyone can see the meters. While nobody can, the taps are paused:
    // no level is measured and the engine's tap thread sleeps. Levels measured
    // before are dropped when they are shown again, so the first one shown
    // measures audio played after that.
    void setMetersShown(bool shown);
    // What a meter shows of a level (its lit segments): a level that shows as
    // the one measured before it does not wake the main thread. Taken by the
    // taps of graphs started after the call; without it every level may.
    void setMeterShows(int (*shows)(float level));
    // Readable when a measured level would change what a meter shows, until
    // deliverMeterLevels() is next called; -1 if it could not be made.
    int meterLevelsReadyDescriptor() const;
    // Whether a measured level of `source` waits for deliverMeterLevels()
    // (for tests that must know one arrived without delivering it).
    bool meterLevelWaiting(VLMAudioSource source) const;

    // The peak of a buffer on a -60 dB to 0 dB scale, from 0 to 1.
    static float meterLevel(const AVAudioPCMBuffer& buffer);

    // Wires the mix as the running graph has it: each source into its mixer,
    // both mixers into the main mixer, the main mixer into the output. The
    // engine benchmark and the render-thread test play this same graph.
    static void connectMix(AVAudioEngine& engine, const std::shared_ptr<AVAudioSourceNode>& musicSource,
                           const std::shared_ptr<AVAudioSourceNode>& microphoneSource,
                           const std::shared_ptr<AVAudioMixerNode>& velmoraMixer,
                           const std::shared_ptr<AVAudioMixerNode>& microphoneMixer,
                           const std::shared_ptr<AVAudioFormat>& musicFormat,
                           const std::shared_ptr<AVAudioFormat>& microphoneFormat);

private:
    VLMAudioRouter();

    void setStatus(VLMAudioRouterStatus status);
    void audioHardwareDidChange();
    void followIOStall();
    bool virtualDeviceIsPresent() const;
    void restartForReturnedVirtualDevice(const std::optional<std::string>& previousUID);
    void startAudioUsingDefaultMicrophone();
    void startAudio(const std::string& microphoneUID, bool usesSystemDefault);
    void stopAudio();
    void installMeterTap(AVAudioMixerNode& on, VLMAudioSource source);
    void loadGains();
    void tellDelegateMicrophonesChanged();

    std::vector<VLMAudioDevice> microphones_;
    std::optional<std::string> selectedMicrophoneUID_;
    std::optional<std::string> defaultMicrophoneUID_;
    bool usesSystemDefaultMicrophone_ = true;
    float velmoraVolume_ = defaultVolume;
    float microphoneVolume_ = defaultVolume;
    VLMAudioRouterStatus status_ = VLMAudioRouterStatus::starting();
    VLMAudioDeviceMonitor audioDeviceMonitor;
    struct RingBufferDeleter {
        void operator()(VLMAudioRingBuffer* ringBuffer) const { VLMAudioRingBufferDestroy(ringBuffer); }
    };
    using RingBufferPointer = std::unique_ptr<VLMAudioRingBuffer, RingBufferDeleter>;
    // Declared before the graph that reads and writes them, so they outlive it.
    RingBufferPointer processRingBuffer;
    RingBufferPointer microphoneRingBuffer;
    // The running graph (VLMAudioRouterGraph.h); null while none runs.
    struct Graph;
    std::unique_ptr<Graph> graph_;
    std::int64_t meterGeneration = 0;
    // Written by the taps (held by their blocks too), taken by deliverMeterLevels().
    std::shared_ptr<VLMAudioMeterLevels> meterLevels_;
    bool metersShown_ = true;
    int (*meterShows_)(float) = nullptr;
    // The virtual device came back before any microphone did: the next
    // hardware change that finds the device starts the graph again.
    bool awaitingMicrophone_ = false;
};
