#pragma once
// The simulated system's own records of its objects, shared by the files
// that implement it: one concern per file (the object model and its
// properties, the clocks and IO threads, process taps, the calls' faults and
// journal, recordings).

#include "SimulatedAudioSystem.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

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
