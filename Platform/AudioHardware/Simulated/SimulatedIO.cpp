// IOProcs and the two clocks that drive them: real time, where every started
// device has its own IO thread, and the manual clock that tests advance.

#include "SimulatedAudioSystemImpl.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include <pthread.h>

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
