#pragma once
// What the PipeWire backend keeps: the connection, and while it is up the
// graph mirror, the program's node and its links; the process's own taps,
// aggregate devices, IOProcs and property listeners, which outlive
// connections. Guarded by the thread loop's lock.

#include "PipeWireAudioSystem.h"
#include "PipeWireConnection.h"
#include "PipeWireCycleWatch.h"
#include "PipeWireDriverInstall.h"
#include "PipeWireGraph.h"
#include "PipeWireIdle.h"
#include "PipeWireLinks.h"
#include "PipeWireProgramNode.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

struct PipeWireAudioSystem::Impl final : pipewire::Connection::Listener {
    struct Tap {
        AudioObjectID id = 0;
        std::string uid;
        std::string name;
        std::vector<std::string> bundleIDs;
    };

    struct Aggregate {
        AudioObjectID id = 0;
        AudioObjectID streamID = 0;
        std::string uid;
        std::string name;
        std::vector<std::string> bundleIDs;  // of its taps, fixed when it was made
    };

    struct IOProc {
        AudioDeviceIOProcID id = nullptr;
        AudioObjectID device = 0;
        AudioDeviceIOBlock block;
        bool inputEnabled = false;  // through 'suse'
        // While it runs through the current connection's node.
        pipewire::Route* route = nullptr;
    };

    struct Listener {
        AudioObjectID object = 0;
        AudioObjectPropertyAddress address{};
        dispatch_queue_t queue = nullptr;
        AudioObjectPropertyListenerBlock block;
        std::shared_ptr<std::atomic<bool>> active;
    };

    // What exists while a server is connected; destroyed in reverse order.
    struct Session {
        std::unique_ptr<pipewire::Graph> graph;
        std::unique_ptr<pipewire::ProgramNode> node;
        std::unique_ptr<pipewire::LinkSet> links;
        std::unique_ptr<pipewire::DriverInstall> driverInstall;
        std::unique_ptr<pipewire::RecorderWatch> recorders;
        bool idle = false;
        std::unique_ptr<pipewire::CycleWatch> cycleWatch;
    };

    class Lock {
    public:
        explicit Lock(pw_thread_loop* l) : loop_(l) { pw_thread_loop_lock(loop_); }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    Impl() : connection(*this) {}
    ~Impl() override;

    // Connection::Listener
    void connected(pw_core* core) override;
    void disconnected() override;
    void syncDone(int seq) override;

    // Marks the graph changed; the work runs once per pass of the loop (or
    // at a round trip's end), however many changes came in it.
    void scheduleWork();
    static void onWork(void* data, std::uint64_t) noexcept;
    // The work after changes of the graph: tells listeners what changed and
    // brings the links up to date.
    void afterChange();
    void notify(AudioObjectPropertySelector selector);
    // Lets the program's node rest or run as the power hint and the recorders say.
    void updateNodeActivity();
    // What the cycle watch needs to know of the program's node.
    pipewire::CycleWatch::Look lookAtNode() const;

    const pipewire::Graph* graph() const { return session ? session->graph.get() : nullptr; }
    const pipewire::Node* nodeByObject(AudioObjectID id) const;
    const Aggregate* aggregateByStream(AudioObjectID streamID) const;
    bool objectExists(AudioObjectID id) const;
    IOProc* findIOProc(AudioObjectID device, AudioDeviceIOProcID id) const;
    double graphRate() const;
    std::uint32_t graphQuantum() const;

    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* ioSize, void* out,
                          bool sizeOnly) const;
    OSStatus writeProperty(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size,
                           const void* data);

    OSStatus startIOProc(IOProc& proc);
    void stopIOProc(IOProc& proc);

    pipewire::Connection connection;
    std::unique_ptr<Session> session;
    spa_source* workEvent = nullptr;
    bool workPending = false;

    std::map<AudioObjectID, std::unique_ptr<Tap>> taps;
    std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates;
    std::map<std::uintptr_t, std::unique_ptr<IOProc>> ioProcs;  // by the number behind the IOProc id
    std::vector<Listener> listeners;
    AudioObjectID nextObjectID = 100;
    bool favorsSavingPower = false;  // kAudioHardwarePropertyPowerHint
    std::uintptr_t nextIOProcNumber = 1;

    // What listeners were last told.
    std::vector<std::tuple<AudioObjectID, std::uint32_t, std::uint32_t>> publishedDevices;
    AudioObjectID publishedDefaultInput = 0;
    AudioObjectID publishedDefaultOutput = 0;
};
