#pragma once
// An in-process audio system behind the audio hardware calls: devices with
// streams and rates, a default input, applications that play, process taps,
// private aggregate devices, IOProcs driven by a real-time or a manual clock,
// fault injection, a journal of calls and a recording of what each output
// device received. Tests and the demonstration install it as the backend.

#include "AudioHardware/AudioHardwareBackend.h"
#include "SimulatedSignal.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct SimulatedDeviceDescription {
    std::optional<std::string> uid;   // absent: the device reports a null UID
    std::optional<std::string> name;  // absent: the device reports a null name
    std::vector<std::uint32_t> inputStreamChannels;   // one input stream per entry, interleaved
    std::vector<std::uint32_t> outputStreamChannels;  // one output stream per entry, interleaved
    double nominalSampleRate = 48000.0;
    std::vector<double> refusedSampleRates;  // setting one of these fails with kAudioDeviceUnsupportedFormatError
    std::uint32_t bufferFrameSize = 512;
    SimulatedSignal input = SimulatedSignals::silence();  // what the input streams deliver
    double recordingSeconds = 30.0;  // how much output a recording keeps, from the device's start
    // How far the device's clock is off its nominal rate, in parts per million
    // (positive: fast). Its cycles come that much more often on either clock.
    double clockErrorPPM = 0.0;
    // How long a start from idle takes before the first cycle.
    double startDelaySeconds = 0.0;

    static SimulatedDeviceDescription microphone(std::string uid, std::string name, std::uint32_t channels = 1,
                                                 double rate = 48000.0, SimulatedSignal input = nullptr);
    static SimulatedDeviceDescription output(std::string uid, std::string name, double rate = 48000.0);
};

enum class SimulatedClock {
    realTime,  // every started device has an IO thread that runs a cycle each buffer period
    manual,    // cycles run only inside advance(), on the calling thread
};

enum class SimulatedCall {
    getPropertyDataSize,
    getPropertyData,
    setPropertyData,
    addPropertyListener,
    removePropertyListener,
    createIOProc,
    destroyIOProc,
    startDevice,
    stopDevice,
    createProcessTap,
    destroyProcessTap,
    createAggregateDevice,
    destroyAggregateDevice,
};

const char* SimulatedCallName(SimulatedCall call);

struct SimulatedFault {
    SimulatedCall call;
    std::optional<AudioObjectID> object;                  // any object when absent
    std::optional<AudioObjectPropertySelector> selector;  // any selector when absent
    OSStatus status = kAudioHardwareUnspecifiedError;
    // Succeed (status 0) without the requested result: a null string, object
    // id 0 or no IOProc id. `status` is then ignored.
    bool withoutResult = false;
    int times = -1;  // how many matching calls it hits; -1: all of them
};

struct SimulatedJournalEntry {
    SimulatedCall call;
    AudioObjectID object = 0;           // the object or device addressed (0 for creations)
    AudioObjectPropertySelector selector = 0;  // property calls only
    OSStatus status = 0;
    AudioObjectID result = 0;           // the id a creation made

    // "AudioDeviceStart(12)", "AudioObjectGetPropertyData(1, 'dev#')", with " -> status" when it failed.
    std::string description() const;
};

class SimulatedAudioSystem final : public AudioHardwareBackend {
public:
    // The name of every IO thread of the real-time clock.
    static constexpr const char* ioThreadName = kAudioHardwareIOThreadName;

    explicit SimulatedAudioSystem(SimulatedClock clock = SimulatedClock::manual);
    ~SimulatedAudioSystem() override;
    SimulatedAudioSystem(const SimulatedAudioSystem&) = delete;
    SimulatedAudioSystem& operator=(const SimulatedAudioSystem&) = delete;

    // Devices. Changes notify 'dev#' (and 'dIn ' when the default input moves)
    // listeners on their queues.
    AudioObjectID addDevice(SimulatedDeviceDescription description);
    void removeDevice(AudioObjectID device);
    void setDefaultInputDevice(AudioObjectID device);
    void setDefaultOutputDevice(AudioObjectID device);
    void setInputSignal(AudioObjectID device, SimulatedSignal signal);
    std::vector<AudioObjectID> inputStreamIDs(AudioObjectID device) const;
    std::optional<AudioObjectID> deviceWithUID(const std::string& uid) const;
    double nominalSampleRate(AudioObjectID device) const;

    // Applications, by bundle identifier, that play a stereo signal.
    void addApplication(std::string bundleID, SimulatedSignal signal);
    void removeApplication(const std::string& bundleID);
    // The rate process taps run at (the rate of the system's output).
    void setTapSampleRate(double rate);
    void setTapBufferFrameSize(std::uint32_t frames);

    // Microphone permission: the current state, and the answer a request gets
    // (delivered on another thread; it also becomes the state).
    void setMicrophoneAuthorization(AVAuthorizationStatus status);
    void setMicrophoneAccessAnswer(bool granted);
    int microphoneAccessRequests() const;

    // The manual clock: runs every IO cycle due within the next `seconds`, in
    // time order, on the calling thread.
    void advance(double seconds);

    void injectFault(SimulatedFault fault);
    void clearFaults();

    std::vector<SimulatedJournalEntry> journal() const;
    std::vector<std::string> journalDescriptions() const;
    void clearJournal();

    // Inspection.
    std::size_t ioProcCount(AudioObjectID device) const;
    std::size_t runningIOProcCount(AudioObjectID device) const;
    std::size_t ioProcCountOnAllDevices() const;
    std::size_t processTapCount() const;
    std::size_t aggregateDeviceCount() const;
    std::size_t listenerCount() const;
    std::optional<CATapDescription> lastTapDescription() const;
    std::optional<CFDictionary> lastAggregateDeviceDescription() const;
    // The stream usage last set for an IOProc: one flag per input stream.
    std::vector<std::uint32_t> inputStreamUsage(AudioObjectID device, AudioDeviceIOProcID ioProc) const;

    // What an output device received while it ran: its first two channels,
    // interleaved (a mono stream is duplicated). Safe to call while it runs.
    std::vector<float> recordedOutput(AudioObjectID device) const;
    bool writeRecordedOutput(AudioObjectID device, const std::string& wavPath) const;
    void clearRecordedOutput(AudioObjectID device);

    // AudioHardwareBackend
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::uint32_t qualifierSize, const void* qualifier, std::uint32_t size,
                             const void* data) override;
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 dispatch_queue_t queue, const AudioObjectPropertyListenerBlock& listener) override;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    dispatch_queue_t queue, const AudioObjectPropertyListenerBlock& listener) override;
    OSStatus createIOProc(AudioDeviceIOProcID* outID, AudioObjectID device, dispatch_queue_t queue,
                          const AudioDeviceIOBlock& block) override;
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID id) override;
    OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const CFDictionary& description, AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    AVAuthorizationStatus microphoneAuthorizationStatus() override;
    void requestMicrophoneAccess(std::function<void(bool granted)> completion) override;

private:
    struct Device;
    struct Tap;
    struct IOProc;
    struct Listener;
    class IOThread;

    Device* findDevice(AudioObjectID id) const;
    Tap* findTap(AudioObjectID id) const;
    const SimulatedFault* takeFault(SimulatedCall call, AudioObjectID object, AudioObjectPropertySelector selector);
    OSStatus record(SimulatedCall call, AudioObjectID object, AudioObjectPropertySelector selector, OSStatus status,
                    AudioObjectID result = 0);
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);
    // The fault, device and IOProc checks of every call on one IOProc, then
    // `change` with the IO side paused.
    OSStatus withIOProc(SimulatedCall call, AudioObjectID deviceID, AudioDeviceIOProcID id,
                        const std::function<void(Device&, std::size_t index)>& change);
    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* ioSize, void* outData,
                          bool sizeOnly, bool withoutResult);
    // Every change that the IO side reads happens between these two calls, so
    // IO threads see a fixed world and never lock.
    void pauseIO();
    void resumeIO();
    void prepareForIO(Device& device);
    void runCycle(Device& device);
    std::vector<Device*> runningDevices() const;

    const SimulatedClock clock_;
    AudioObjectID nextObjectID_ = 100;
    std::map<AudioObjectID, std::unique_ptr<Device>> devices_;
    std::map<AudioObjectID, std::unique_ptr<Tap>> taps_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::map<std::string, SimulatedSignal> applications_;
    AudioObjectID defaultInput_ = 0;
    AudioObjectID defaultOutput_ = 0;
    double tapSampleRate_ = 48000.0;
    std::uint32_t tapBufferFrameSize_ = 512;
    double manualTime_ = 0.0;
    int pauseDepth_ = 0;

    std::atomic<AVAuthorizationStatus> authorization_{AVAuthorizationStatus::authorized};
    bool accessAnswer_ = true;
    int accessRequests_ = 0;
    std::vector<std::thread> answerThreads_;

    std::vector<SimulatedFault> faults_;
    std::vector<SimulatedJournalEntry> journal_;
    std::optional<CATapDescription> lastTapDescription_;
    std::optional<CFDictionary> lastAggregateDescription_;
    mutable std::mutex inspectionMutex_;  // the journal may be read from any thread
    // Main-queue jobs hold this weakly, so none runs after the system is gone.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};
