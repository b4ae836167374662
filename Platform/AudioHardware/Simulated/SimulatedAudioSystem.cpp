#include "SimulatedAudioSystem.h"

#include "WaveFile.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include <pthread.h>

namespace {

constexpr std::uint32_t kPointerSize = sizeof(void*);

std::string fourCharText(std::uint32_t code)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = char((code >> (24 - 8 * i)) & 0xFF);
        if (c < 0x20 || c > 0x7E)
            return std::to_string(std::int32_t(code));
        text[std::size_t(i)] = c;
    }
    return "'" + text + "'";
}

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
// Object records

struct SimulatedAudioSystem::IOProc {
    AudioDeviceIOBlock block;
    bool running = false;
    std::vector<std::uint32_t> inputStreamUsage;
    AudioDeviceIOProcID id() { return reinterpret_cast<AudioDeviceIOProcID>(this); }
};

struct SimulatedAudioSystem::Tap {
    AudioObjectID id = 0;
    std::string uid;
    CATapDescription description;
};

struct SimulatedAudioSystem::Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    dispatch_queue_t queue;
    AudioObjectPropertyListenerBlock block;
};

class SimulatedAudioSystem::IOThread {
public:
    IOThread(SimulatedAudioSystem& system, Device& device) : thread_([this, &system, &device] { run(system, device); })
    {
    }
    ~IOThread()
    {
        stop_.store(true, std::memory_order_relaxed);
        thread_.join();
    }

private:
    void run(SimulatedAudioSystem& system, Device& device);
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct SimulatedAudioSystem::Device {
    AudioObjectID id = 0;
    SimulatedDeviceDescription description;
    std::vector<AudioObjectID> inputStreams;
    std::vector<AudioObjectID> outputStreams;
    bool isAggregate = false;
    bool isPrivate = false;
    AudioObjectID tap = 0;  // the tap an aggregate device carries
    std::vector<std::unique_ptr<IOProc>> ioProcs;

    // IO state: written on the main thread while IO is paused, used by the IO side.
    std::vector<IOProc*> running;
    std::vector<const SimulatedSignal*> tapSignals;
    std::vector<float> inputSamples, outputSamples, outputMix;
    std::vector<unsigned char> inputListStorage, outputListStorage;
    std::uint64_t sampleTime = 0;
    bool scheduled = false;
    bool starting = false;     // started from idle and not yet scheduled: the start delay applies
    double scheduleStart = 0;  // manual clock: when the current schedule began
    std::chrono::steady_clock::time_point firstCycleNotBefore;  // real-time clock: the start delay
    std::uint64_t cyclesSinceScheduleStart = 0;
    std::unique_ptr<IOThread> ioThread;

    // Recording of the output: written by the IO side, published through recordedSamples.
    std::vector<float> recording;
    std::atomic<std::size_t> recordedSamples{0};

    AudioBufferList* inputList() { return reinterpret_cast<AudioBufferList*>(inputListStorage.data()); }
    AudioBufferList* outputList() { return reinterpret_cast<AudioBufferList*>(outputListStorage.data()); }
    double rate() const { return description.nominalSampleRate; }
    double period() const
    {
        return description.bufferFrameSize
               / (description.nominalSampleRate * (1.0 + description.clockErrorPPM * 1e-6));
    }
    bool hasInput() const { return !inputStreams.empty(); }
};

void SimulatedAudioSystem::IOThread::run(SimulatedAudioSystem& system, Device& device)
{
    // Named so tests can tell the audio threads apart from all others.
    pthread_setname_np(pthread_self(), SimulatedAudioSystem::ioThreadName);
    using namespace std::chrono;
    const duration<double> period(device.period());
    // Waits out a start delay in steps of a period, so stopping stays prompt.
    while (steady_clock::now() < device.firstCycleNotBefore && !stop_.load(std::memory_order_relaxed))
        std::this_thread::sleep_for(std::min<steady_clock::duration>(
            duration_cast<steady_clock::duration>(period), device.firstCycleNotBefore - steady_clock::now()));
    const auto start = steady_clock::now();
    for (std::uint64_t cycle = 1; !stop_.load(std::memory_order_relaxed); ++cycle) {
        std::this_thread::sleep_until(start + duration_cast<steady_clock::duration>(period * double(cycle)));
        if (stop_.load(std::memory_order_relaxed))
            break;
        system.runCycle(device);
    }
}

// ---------------------------------------------------------------------------
// Descriptions and journal

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

const char* SimulatedCallName(SimulatedCall call)
{
    switch (call) {
    case SimulatedCall::getPropertyDataSize: return "AudioObjectGetPropertyDataSize";
    case SimulatedCall::getPropertyData: return "AudioObjectGetPropertyData";
    case SimulatedCall::setPropertyData: return "AudioObjectSetPropertyData";
    case SimulatedCall::addPropertyListener: return "AudioObjectAddPropertyListenerBlock";
    case SimulatedCall::removePropertyListener: return "AudioObjectRemovePropertyListenerBlock";
    case SimulatedCall::createIOProc: return "AudioDeviceCreateIOProcIDWithBlock";
    case SimulatedCall::destroyIOProc: return "AudioDeviceDestroyIOProcID";
    case SimulatedCall::startDevice: return "AudioDeviceStart";
    case SimulatedCall::stopDevice: return "AudioDeviceStop";
    case SimulatedCall::createProcessTap: return "AudioHardwareCreateProcessTap";
    case SimulatedCall::destroyProcessTap: return "AudioHardwareDestroyProcessTap";
    case SimulatedCall::createAggregateDevice: return "AudioHardwareCreateAggregateDevice";
    case SimulatedCall::destroyAggregateDevice: return "AudioHardwareDestroyAggregateDevice";
    }
    return "?";
}

std::string SimulatedJournalEntry::description() const
{
    std::string text = SimulatedCallName(call);
    text += "(" + std::to_string(object);
    if (selector)
        text += ", " + fourCharText(selector);
    text += ")";
    if (status)
        text += " -> " + fourCharText(std::uint32_t(status));
    return text;
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
// Faults and journal

void SimulatedAudioSystem::injectFault(SimulatedFault fault) { faults_.push_back(fault); }

void SimulatedAudioSystem::clearFaults() { faults_.clear(); }

const SimulatedFault* SimulatedAudioSystem::takeFault(SimulatedCall call, AudioObjectID object,
                                                      AudioObjectPropertySelector selector)
{
    for (SimulatedFault& fault : faults_) {
        if (fault.call != call || fault.times == 0)
            continue;
        if (fault.object && *fault.object != object)
            continue;
        if (fault.selector && *fault.selector != selector)
            continue;
        if (fault.times > 0)
            --fault.times;
        return &fault;
    }
    return nullptr;
}

OSStatus SimulatedAudioSystem::record(SimulatedCall call, AudioObjectID object, AudioObjectPropertySelector selector,
                                      OSStatus status, AudioObjectID result)
{
    std::lock_guard lock(inspectionMutex_);
    journal_.push_back({call, object, selector, status, result});
    return status;
}

std::vector<SimulatedJournalEntry> SimulatedAudioSystem::journal() const
{
    std::lock_guard lock(inspectionMutex_);
    return journal_;
}

std::vector<std::string> SimulatedAudioSystem::journalDescriptions() const
{
    std::vector<std::string> lines;
    for (const auto& entry : journal())
        lines.push_back(entry.description());
    return lines;
}

void SimulatedAudioSystem::clearJournal()
{
    std::lock_guard lock(inspectionMutex_);
    journal_.clear();
}

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
    case kAudioDevicePropertyBufferFrameSize: {
        std::uint32_t frames;
        if (size != sizeof frames)
            return finish(kAudioHardwareBadPropertySizeError);
        std::memcpy(&frames, data, sizeof frames);
        if (frames == 0 || frames > 16384)
            return finish(kAudioHardwareIllegalOperationError);
        pauseIO();
        device->description.bufferFrameSize = frames;
        device->scheduled = false;
        resumeIO();
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

// ---------------------------------------------------------------------------
// IOProcs

OSStatus SimulatedAudioSystem::createIOProc(AudioDeviceIOProcID* outID, AudioObjectID deviceID,
                                            dispatch_queue_t queue, const AudioDeviceIOBlock& block)
{
    auto finish = [&](OSStatus s, AudioObjectID result = 0) {
        return record(SimulatedCall::createIOProc, deviceID, 0, s, result);
    };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::createIOProc, deviceID, 0)) {
        if (!fault->withoutResult)
            return finish(fault->status);
        *outID = nullptr;
        return finish(kAudioHardwareNoError);
    }
    Device* device = findDevice(deviceID);
    if (!device)
        return finish(kAudioHardwareBadDeviceError);
    if (queue)  // only direct calls on the IO thread are simulated
        return finish(kAudioHardwareUnsupportedOperationError);
    auto ioProc = std::make_unique<IOProc>();
    ioProc->block = block;
    *outID = ioProc->id();
    device->ioProcs.push_back(std::move(ioProc));
    return finish(kAudioHardwareNoError);
}

OSStatus SimulatedAudioSystem::withIOProc(SimulatedCall call, AudioObjectID deviceID, AudioDeviceIOProcID id,
                                          const std::function<void(Device&, std::size_t index)>& change)
{
    auto finish = [&](OSStatus s) { return record(call, deviceID, 0, s); };
    if (const SimulatedFault* fault = takeFault(call, deviceID, 0))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);
    Device* device = findDevice(deviceID);
    if (!device)
        return finish(kAudioHardwareBadDeviceError);
    auto it = std::find_if(device->ioProcs.begin(), device->ioProcs.end(), [&](auto& p) { return p->id() == id; });
    if (it == device->ioProcs.end())
        return finish(kAudioHardwareIllegalOperationError);
    pauseIO();
    change(*device, std::size_t(it - device->ioProcs.begin()));
    resumeIO();
    return finish(kAudioHardwareNoError);
}

OSStatus SimulatedAudioSystem::destroyIOProc(AudioObjectID deviceID, AudioDeviceIOProcID id)
{
    return withIOProc(SimulatedCall::destroyIOProc, deviceID, id, [](Device& device, std::size_t index) {
        device.ioProcs.erase(device.ioProcs.begin() + std::ptrdiff_t(index));
    });
}

OSStatus SimulatedAudioSystem::startDevice(AudioObjectID deviceID, AudioDeviceIOProcID id)
{
    return withIOProc(SimulatedCall::startDevice, deviceID, id, [](Device& device, std::size_t index) {
        if (device.running.empty()) {  // the device starts from idle: a fresh time line
            device.sampleTime = 0;
            device.scheduled = false;
            device.starting = true;
        }
        device.ioProcs[index]->running = true;
    });
}

OSStatus SimulatedAudioSystem::stopDevice(AudioObjectID deviceID, AudioDeviceIOProcID id)
{
    return withIOProc(SimulatedCall::stopDevice, deviceID, id,
                      [](Device& device, std::size_t index) { device.ioProcs[index]->running = false; });
}

// ---------------------------------------------------------------------------
// Process taps and aggregate devices

OSStatus SimulatedAudioSystem::createProcessTap(const CATapDescription& description, AudioObjectID* outTapID)
{
    auto finish = [&](OSStatus s, AudioObjectID result = 0) {
        return record(SimulatedCall::createProcessTap, 0, 0, s, result);
    };
    lastTapDescription_ = description;
    if (const SimulatedFault* fault = takeFault(SimulatedCall::createProcessTap, 0, 0)) {
        if (!fault->withoutResult)
            return finish(fault->status);
        *outTapID = 0;
        return finish(kAudioHardwareNoError);
    }
    auto tap = std::make_unique<Tap>();
    tap->id = nextObjectID_++;
    tap->uid = "SimulatedProcessTap-" + std::to_string(tap->id);
    tap->description = description;
    *outTapID = tap->id;
    taps_.emplace(tap->id, std::move(tap));
    return finish(kAudioHardwareNoError, *outTapID);
}

OSStatus SimulatedAudioSystem::destroyProcessTap(AudioObjectID tapID)
{
    auto finish = [&](OSStatus s) { return record(SimulatedCall::destroyProcessTap, tapID, 0, s); };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::destroyProcessTap, tapID, 0))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);
    if (!findTap(tapID))
        return finish(kAudioHardwareBadObjectError);
    pauseIO();
    taps_.erase(tapID);
    resumeIO();
    return finish(kAudioHardwareNoError);
}

OSStatus SimulatedAudioSystem::createAggregateDevice(const CFDictionary& description, AudioObjectID* outDeviceID)
{
    auto finish = [&](OSStatus s, AudioObjectID result = 0) {
        return record(SimulatedCall::createAggregateDevice, 0, 0, s, result);
    };
    lastAggregateDescription_ = description;
    if (const SimulatedFault* fault = takeFault(SimulatedCall::createAggregateDevice, 0, 0)) {
        if (!fault->withoutResult)
            return finish(fault->status);
        *outDeviceID = 0;
        return finish(kAudioHardwareNoError);
    }
    auto lookup = [&](const char* key) -> const CFPropertyList* {
        auto it = description.find(key);
        return it == description.end() ? nullptr : &it->second;
    };
    const CFPropertyList* uid = lookup(kAudioAggregateDeviceUIDKey);
    if (!uid || !uid->string() || deviceWithUID(*uid->string()))
        return finish(kAudioHardwareIllegalOperationError);

    AudioObjectID tapID = 0;
    if (const CFPropertyList* taps = lookup(kAudioAggregateDeviceTapListKey)) {
        if (!taps->array())
            return finish(kAudio_ParamError);
        for (const CFPropertyList& entry : *taps->array()) {
            const CFDictionary* sub = entry.dictionary();
            auto tapUID = sub ? sub->find(kAudioSubTapUIDKey) : CFDictionary::const_iterator();
            if (!sub || tapUID == sub->end() || !tapUID->second.string())
                return finish(kAudio_ParamError);
            auto tap = std::find_if(taps_.begin(), taps_.end(),
                                    [&](auto& t) { return t.second->uid == *tapUID->second.string(); });
            if (tap == taps_.end())
                return finish(kAudioHardwareBadObjectError);
            tapID = tap->first;
        }
    }

    SimulatedDeviceDescription d;
    d.uid = *uid->string();
    if (const CFPropertyList* name = lookup(kAudioAggregateDeviceNameKey); name && name->string())
        d.name = *name->string();
    d.inputStreamChannels = {2};
    d.nominalSampleRate = tapSampleRate_;
    d.bufferFrameSize = tapBufferFrameSize_;

    pauseIO();
    auto device = std::make_unique<Device>();
    device->id = nextObjectID_++;
    device->inputStreams.push_back(nextObjectID_++);
    device->description = std::move(d);
    device->isAggregate = true;
    const CFPropertyList* isPrivate = lookup(kAudioAggregateDeviceIsPrivateKey);
    device->isPrivate = isPrivate && isPrivate->boolean() && *isPrivate->boolean();
    device->tap = tapID;
    *outDeviceID = device->id;
    const bool listed = !device->isPrivate;
    devices_.emplace(device->id, std::move(device));
    resumeIO();
    if (listed)
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return finish(kAudioHardwareNoError, *outDeviceID);
}

OSStatus SimulatedAudioSystem::destroyAggregateDevice(AudioObjectID deviceID)
{
    auto finish = [&](OSStatus s) { return record(SimulatedCall::destroyAggregateDevice, deviceID, 0, s); };
    if (const SimulatedFault* fault = takeFault(SimulatedCall::destroyAggregateDevice, deviceID, 0))
        return finish(fault->withoutResult ? kAudioHardwareNoError : fault->status);
    Device* device = findDevice(deviceID);
    if (!device || !device->isAggregate)
        return finish(kAudioHardwareBadDeviceError);
    const bool listed = !device->isPrivate;
    pauseIO();
    devices_.erase(deviceID);
    resumeIO();
    if (listed)
        notify(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    return finish(kAudioHardwareNoError);
}

// ---------------------------------------------------------------------------
// The IO side

void SimulatedAudioSystem::pauseIO()
{
    if (pauseDepth_++ == 0)
        for (auto& [id, device] : devices_)
            device->ioThread.reset();
}

void SimulatedAudioSystem::resumeIO()
{
    if (--pauseDepth_ != 0)
        return;
    for (auto& [id, device] : devices_) {
        prepareForIO(*device);
        if (!device->running.empty() && clock_ == SimulatedClock::realTime)
            device->ioThread = std::make_unique<IOThread>(*this, *device);
    }
}

void SimulatedAudioSystem::prepareForIO(Device& device)
{
    device.running.clear();
    for (auto& ioProc : device.ioProcs)
        if (ioProc->running)
            device.running.push_back(ioProc.get());
    if (device.running.empty())
        return;

    if (!device.scheduled) {
        const double delay = device.starting ? device.description.startDelaySeconds : 0.0;
        device.scheduled = true;
        device.starting = false;
        device.scheduleStart = manualTime_ + delay;
        device.cyclesSinceScheduleStart = 0;
        device.firstCycleNotBefore =
            std::chrono::steady_clock::now()
            + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(delay));
    }

    device.tapSignals.clear();
    if (Tap* tap = findTap(device.tap))
        for (const std::string& bundleID : tap->description.bundleIDs())
            if (auto app = applications_.find(bundleID); app != applications_.end())
                device.tapSignals.push_back(&app->second);

    const std::uint32_t frames = device.description.bufferFrameSize;
    auto buildList = [frames](const std::vector<std::uint32_t>& channels, std::vector<float>& samples,
                              std::vector<unsigned char>& storage) {
        std::uint32_t total = 0;
        for (std::uint32_t c : channels)
            total += c;
        samples.assign(std::size_t(total) * frames, 0.0f);
        storage.assign(AudioBufferListSize(std::uint32_t(channels.size())), 0);
        auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
        list->mNumberBuffers = std::uint32_t(channels.size());
        float* data = samples.data();
        for (std::size_t i = 0; i < channels.size(); ++i) {
            list->mBuffers[i] = {channels[i], channels[i] * frames * 4u, data};
            data += std::size_t(channels[i]) * frames;
        }
    };
    buildList(device.description.inputStreamChannels, device.inputSamples, device.inputListStorage);
    buildList(device.description.outputStreamChannels, device.outputSamples, device.outputListStorage);
    device.outputMix.assign(device.outputSamples.size(), 0.0f);

    if (!device.outputStreams.empty() && device.recording.empty())
        device.recording.resize(std::size_t(device.description.recordingSeconds * device.rate()) * 2);
}

void SimulatedAudioSystem::runCycle(Device& device)
{
    const std::uint32_t frames = device.description.bufferFrameSize;
    const double rate = device.rate();

    // Input: a tap's aggregate device hears the applications' stereo mix, any
    // other device its own signal, channels numbered across its streams.
    AudioBufferList* input = device.inputList();
    std::uint32_t firstChannel = 0;
    for (std::uint32_t b = 0; b < input->mNumberBuffers; ++b) {
        AudioBuffer& buffer = input->mBuffers[b];
        float* samples = static_cast<float*>(buffer.mData);
        const std::uint32_t n = buffer.mNumberChannels;
        for (std::uint32_t f = 0; f < frames; ++f) {
            const std::uint64_t frame = device.sampleTime + f;
            for (std::uint32_t c = 0; c < n; ++c) {
                float value = 0.0f;
                if (device.isAggregate) {
                    for (const SimulatedSignal* signal : device.tapSignals)
                        value += (*signal)(frame, c, rate);
                } else {
                    value = device.description.input(frame, firstChannel + c, rate);
                }
                samples[std::size_t(f) * n + c] = value;
            }
        }
        firstChannel += n;
    }

    AudioTimeStamp time{};
    time.mSampleTime = double(device.sampleTime);
    time.mRateScalar = 1.0;
    time.mFlags = kAudioTimeStampSampleTimeValid;

    // Output: every IOProc renders into silence and the device sums them.
    std::fill(device.outputMix.begin(), device.outputMix.end(), 0.0f);
    for (IOProc* ioProc : device.running) {
        std::fill(device.outputSamples.begin(), device.outputSamples.end(), 0.0f);
        ioProc->block(&time, input, &time, device.outputList(), &time);
        for (std::size_t i = 0; i < device.outputMix.size(); ++i)
            device.outputMix[i] += device.outputSamples[i];
    }

    if (!device.outputStreams.empty()) {
        const std::uint32_t channels = device.description.outputStreamChannels[0];
        std::size_t recorded = device.recordedSamples.load(std::memory_order_relaxed);
        for (std::uint32_t f = 0; f < frames && recorded + 2 <= device.recording.size() && channels; ++f) {
            const float left = device.outputMix[std::size_t(f) * channels];
            const float right = channels > 1 ? device.outputMix[std::size_t(f) * channels + 1] : left;
            device.recording[recorded++] = left;
            device.recording[recorded++] = right;
        }
        device.recordedSamples.store(recorded, std::memory_order_release);
    }
    device.sampleTime += frames;
}

std::vector<SimulatedAudioSystem::Device*> SimulatedAudioSystem::runningDevices() const
{
    std::vector<Device*> result;
    for (auto& [id, device] : devices_)
        if (!device->running.empty())
            result.push_back(device.get());
    return result;
}

void SimulatedAudioSystem::advance(double seconds)
{
    const double end = manualTime_ + seconds;
    const std::vector<Device*> devices = runningDevices();
    auto due = [](const Device* d) {
        return d->scheduleStart + double(d->cyclesSinceScheduleStart + 1) * d->period();
    };
    for (;;) {
        // The next cycle in time; at equal times capture runs before playback.
        Device* next = nullptr;
        for (Device* d : devices) {
            if (due(d) > end + 1e-12)
                continue;
            if (!next || due(d) < due(next) || (due(d) == due(next) && d->hasInput() && !next->hasInput()))
                next = d;
        }
        if (!next)
            break;
        manualTime_ = due(next);
        runCycle(*next);
        ++next->cyclesSinceScheduleStart;
    }
    manualTime_ = end;
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

std::vector<float> SimulatedAudioSystem::recordedOutput(AudioObjectID id) const
{
    const Device* device = findDevice(id);
    if (!device)
        return {};
    const std::size_t count = device->recordedSamples.load(std::memory_order_acquire);
    return std::vector<float>(device->recording.begin(), device->recording.begin() + std::ptrdiff_t(count));
}

bool SimulatedAudioSystem::writeRecordedOutput(AudioObjectID id, const std::string& wavPath) const
{
    const Device* device = findDevice(id);
    return device && writeWaveFile(wavPath, recordedOutput(id), 2, device->rate());
}

void SimulatedAudioSystem::clearRecordedOutput(AudioObjectID id)
{
    if (Device* device = findDevice(id)) {
        pauseIO();
        device->recordedSamples.store(0, std::memory_order_relaxed);
        resumeIO();
    }
}
