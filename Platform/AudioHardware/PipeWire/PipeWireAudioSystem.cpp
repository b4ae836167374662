#include "PipeWireAudioSystemImpl.h"
#include "PipeWireLog.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <pthread.h>
#include <unistd.h>

using Impl = PipeWireAudioSystem::Impl;
using pipewire::RouteKind;

namespace {

// How long a start waits for the server's first answer: a server that runs
// answers within a few milliseconds; one that does not is connected later,
// in the background.
constexpr std::chrono::milliseconds kFirstAnswerBound{50};
constexpr std::chrono::milliseconds kSynchronizeBound{5000};

} // namespace

// ---------------------------------------------------------------------------
// Connection

Impl::~Impl()
{
    connection.shutDown();
    if (workEvent) {
        Lock lock(connection.loop());
        pw_loop_destroy_source(pw_thread_loop_get_loop(connection.loop()), workEvent);
    }
    for (auto& l : listeners)
        *l.active = false;
}

void Impl::connected(pw_core* core)
{
    if (!workEvent)
        workEvent = pw_loop_add_event(pw_thread_loop_get_loop(connection.loop()), onWork, this);
    session = std::make_unique<Session>();
    session->graph = std::make_unique<pipewire::Graph>(core, nextObjectID, [this] { scheduleWork(); });
    session->links = std::make_unique<pipewire::LinkSet>(core, [this] { scheduleWork(); });
    session->driverInstall =
        std::make_unique<pipewire::DriverInstall>(core, pw_thread_loop_get_loop(connection.loop()));
    session->recorders = std::make_unique<pipewire::RecorderWatch>(core, [this] { updateNodeActivity(); });
    session->cycleWatch = std::make_unique<pipewire::CycleWatch>(
        core, pw_thread_loop_get_loop(connection.loop()), [this] { return lookAtNode(); },
        [this] { notify(kAudioHardwarePropertyIOStall); });
}

// The node should run while it plays into a device, is not resting, and the
// server has made any of its links (a route whose links are still to be made
// gets no cycles yet); what it plays reaches nobody while a link from it stays unfinished.
// (Links into it are left out: one from an application that went idle may
// rightly wait.)
pipewire::CycleWatch::Look Impl::lookAtNode() const
{
    pipewire::CycleWatch::Look look;
    if (!session || !session->node || session->node->failed() || session->idle)
        return look;
    const pipewire::ProgramNode& node = *session->node;
    look.routing = std::any_of(node.routes().begin(), node.routes().end(),
                               [](const auto& route) { return route->kind() == RouteKind::playback; });
    look.shouldRun = look.routing && session->links->anyStanding();
    look.cycles = node.cycles();
    look.lastCycle = node.lastCycle();
    look.unfinished = session->links->anyUnfinishedFrom(node.nodeID());
    if (const auto rate = node.clock().rate())
        if (const auto quantum = node.clock().quantum())
            look.cycleSeconds = double(*quantum) / *rate;
    return look;
}

void Impl::scheduleWork()
{
    if (std::exchange(workPending, true))
        return;
    if (workEvent)
        pw_loop_signal_event(pw_thread_loop_get_loop(connection.loop()), workEvent);
    else
        afterChange();
}

void Impl::onWork(void* data, std::uint64_t) noexcept
{
    auto* self = static_cast<Impl*>(data);
    if (self->workPending)
        self->afterChange();
}

// Every device is gone for the program: IOProcs keep their ids but run no
// more, and listeners hear of the change as when devices are unplugged.
void Impl::disconnected()
{
    for (auto& [number, proc] : ioProcs)
        proc->route = nullptr;
    session.reset();
    afterChange();
}

// What a round trip waited for is in: its work is done before it returns.
void Impl::syncDone(int seq)
{
    if (session) {
        session->graph->syncDone(seq);
        session->cycleWatch->answered(seq);
    }
    if (workPending)
        afterChange();
}

void Impl::afterChange()
{
    workPending = false;
    if (session)
        session->graph->runDeferred();
    const pipewire::Graph* g = graph();
    std::vector<std::tuple<AudioObjectID, std::uint32_t, std::uint32_t>> devices;
    if (g)
        for (const auto& [id, node] : g->nodes())
            if (node->isListed())
                devices.emplace_back(node->objectID, node->inputChannels(), node->outputChannels());
    std::sort(devices.begin(), devices.end());
    if (devices != publishedDevices) {
        qCInfo(lcPipeWire) << "devices:" << devices.size() << "(were" << publishedDevices.size() << ")";
        publishedDevices = std::move(devices);
        notify(kAudioHardwarePropertyDevices);
    }
    const AudioObjectID input = g ? g->defaultDevice("default.audio.source") : kAudioObjectUnknown;
    if (input != publishedDefaultInput) {
        publishedDefaultInput = input;
        notify(kAudioHardwarePropertyDefaultInputDevice);
    }
    const AudioObjectID output = g ? g->defaultDevice("default.audio.sink") : kAudioObjectUnknown;
    if (output != publishedDefaultOutput) {
        publishedDefaultOutput = output;
        notify(kAudioHardwarePropertyDefaultOutputDevice);
    }
    if (session && session->node)
        session->links->reconcile(*session->graph, *session->node);
    updateNodeActivity();
}

void Impl::updateNodeActivity()
{
    if (!session || !session->node || !session->recorders || !session->cycleWatch)
        return;
    std::vector<std::uint32_t> devices;
    for (const auto& route : session->node->routes())
        if (route->kind() == pipewire::RouteKind::playback)
            devices.push_back(route->target());
    const bool recorded = session->recorders->isRecorded(devices, session->node->nodeID());
    const bool idle = !pipewire::nodeShouldRun(favorsSavingPower, recorded);
    if (idle == session->idle)
        return;
    session->idle = idle;
    session->node->setResting(idle);
    session->cycleWatch->setResting(idle);
    session->links->setPaused(idle);
    session->links->reconcile(*session->graph, *session->node);
}

void Impl::notify(AudioObjectPropertySelector selector)
{
    for (const Listener& l : listeners) {
        if (l.object != kAudioObjectSystemObject || l.address.mSelector != selector)
            continue;
        const AudioObjectPropertyAddress changed{selector, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        if (!l.queue) {
            l.block(1, &changed);
            continue;
        }
        // The job holds no reference to this system: it may be gone by then.
        dispatch_async(l.queue, [block = l.block, active = l.active, changed] {
            if (*active)
                block(1, &changed);
        });
    }
}

// ---------------------------------------------------------------------------
// Lookups

const pipewire::Node* Impl::nodeByObject(AudioObjectID id) const
{
    return session ? session->graph->nodeByObject(id) : nullptr;
}

const Impl::Aggregate* Impl::aggregateByStream(AudioObjectID streamID) const
{
    for (const auto& [id, aggregate] : aggregates)
        if (aggregate->streamID == streamID)
            return aggregate.get();
    return nullptr;
}

bool Impl::objectExists(AudioObjectID id) const
{
    return id == kAudioObjectSystemObject || nodeByObject(id) || (graph() && graph()->nodeByStream(id))
        || taps.count(id) || aggregates.count(id) || aggregateByStream(id);
}

Impl::IOProc* Impl::findIOProc(AudioObjectID device, AudioDeviceIOProcID id) const
{
    const auto it = ioProcs.find(reinterpret_cast<std::uintptr_t>(id));
    if (it == ioProcs.end() || it->second->device != device)
        return nullptr;
    return it->second.get();
}

// What the driver running the program's node says once it has run; before,
// the defaults of the "settings" metadata.
double Impl::graphRate() const
{
    if (session && session->node)
        if (auto rate = session->node->clock().rate())
            return *rate;
    return graph() ? graph()->rate() : 48000.0;
}

std::uint32_t Impl::graphQuantum() const
{
    if (session && session->node)
        if (auto quantum = session->node->clock().quantum())
            return *quantum;
    return graph() ? graph()->quantum() : 1024;
}

// ---------------------------------------------------------------------------
// IOProcs: routes through the program's node. A start returns at once; the
// links its route needs are made as their ports appear.

OSStatus Impl::startIOProc(IOProc& proc)
{
    RouteKind kind = RouteKind::tap;
    std::uint32_t target = SPA_ID_INVALID;
    std::uint32_t channels = 2;
    std::vector<std::string> bundleIDs;
    if (auto aggregate = aggregates.find(proc.device); aggregate != aggregates.end()) {
        bundleIDs = aggregate->second->bundleIDs;
    } else if (const pipewire::Node* node = nodeByObject(proc.device)) {
        const bool capture = node->inputChannels() && (!node->outputChannels() || proc.inputEnabled);
        kind = capture ? RouteKind::capture : RouteKind::playback;
        channels = capture ? node->inputChannels() : node->outputChannels();
        target = node->globalID;
        if (!channels)
            return kAudioHardwareBadStreamError;
    } else {
        return kAudioHardwareBadDeviceError;
    }
    // A node stopped by another client (destroyed, or failed) is rebuilt
    // with everything else, as after a lost connection: the devices come
    // back under new ids and the program starts them again.
    if (!session->node) {
        session->node = std::make_unique<pipewire::ProgramNode>(connection.core(), [this] { connection.restart(); });
        // A node is made running; one made again while the program rests
        // (the last one failed to start) rests at once, as it would have.
        if (session->idle)
            session->node->setResting(true);
    }
    if (session->node->failed()) {
        session->node.reset();
        return kAudioHardwareUnspecifiedError;
    }
    proc.route = session->node->attach(kind, target, std::move(bundleIDs), channels, proc.block);
    if (!proc.route)
        return kAudioHardwareUnspecifiedError;
    session->cycleWatch->restart();
    session->links->reconcile(*session->graph, *session->node);
    updateNodeActivity();
    return kAudioHardwareNoError;
}

void Impl::stopIOProc(IOProc& proc)
{
    if (proc.route && session && session->node) {
        session->node->detach(std::exchange(proc.route, nullptr));
        session->links->reconcile(*session->graph, *session->node);
    }
    proc.route = nullptr;
}

// ---------------------------------------------------------------------------
// The backend

std::shared_ptr<PipeWireAudioSystem> PipeWireAudioSystem::connect()
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    auto impl = std::make_unique<Impl>();
    if (!impl->connection.start())
        return nullptr;
    // The data thread is the program's audio IO thread on this system.
    if (auto* thread = pw_data_loop_get_thread(pw_context_get_data_loop(impl->connection.context())))
        pthread_setname_np(reinterpret_cast<pthread_t>(thread), kAudioHardwareIOThreadName);
    {
        Impl::Lock lock(impl->connection.loop());
        // The first round trip brings every global (and binds them), the
        // second their info and metadata values.
        if (impl->connection.roundTrip(kFirstAnswerBound))
            impl->connection.roundTrip(kFirstAnswerBound);
    }
    return std::shared_ptr<PipeWireAudioSystem>(new PipeWireAudioSystem(std::move(impl)));
}

PipeWireAudioSystem::PipeWireAudioSystem(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PipeWireAudioSystem::~PipeWireAudioSystem() = default;

bool PipeWireAudioSystem::synchronize()
{
    Impl::Lock lock(impl_->connection.loop());
    return impl_->connection.roundTrip(kSynchronizeBound);
}

OSStatus PipeWireAudioSystem::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                  std::uint32_t qualifierSize, const void* qualifier,
                                                  std::uint32_t* outSize)
{
    if (!outSize)
        return kAudio_ParamError;
    Impl::Lock lock(impl_->connection.loop());
    return impl_->readProperty(object, address, qualifierSize, qualifier, outSize, nullptr, true);
}

OSStatus PipeWireAudioSystem::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              std::uint32_t qualifierSize, const void* qualifier,
                                              std::uint32_t* ioSize, void* outData)
{
    if (!ioSize || !outData)
        return kAudio_ParamError;
    Impl::Lock lock(impl_->connection.loop());
    return impl_->readProperty(object, address, qualifierSize, qualifier, ioSize, outData, false);
}

OSStatus PipeWireAudioSystem::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              std::uint32_t, const void*, std::uint32_t size, const void* data)
{
    Impl::Lock lock(impl_->connection.loop());
    return impl_->writeProperty(object, address, size, data);
}

OSStatus PipeWireAudioSystem::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                  dispatch_queue_t queue,
                                                  const AudioObjectPropertyListenerBlock& listener)
{
    if (!listener)
        return kAudio_ParamError;
    Impl::Lock lock(impl_->connection.loop());
    if (!impl_->objectExists(object))
        return kAudioHardwareBadObjectError;
    impl_->listeners.push_back({object, address, queue, listener, std::make_shared<std::atomic<bool>>(true)});
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::removePropertyListener(AudioObjectID object,
                                                     const AudioObjectPropertyAddress& address,
                                                     dispatch_queue_t queue,
                                                     const AudioObjectPropertyListenerBlock& listener)
{
    Impl::Lock lock(impl_->connection.loop());
    auto& listeners = impl_->listeners;
    const auto it = std::find_if(listeners.begin(), listeners.end(), [&](const Impl::Listener& l) {
        return l.object == object && l.address == address && l.queue == queue && l.block == listener;
    });
    if (it == listeners.end())
        return impl_->objectExists(object) ? kAudioHardwareIllegalOperationError : kAudioHardwareBadObjectError;
    *it->active = false;
    listeners.erase(it);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::createIOProc(AudioDeviceIOProcID* outID, AudioObjectID device, dispatch_queue_t,
                                           const AudioDeviceIOBlock& block)
{
    if (!outID || !block)
        return kAudio_ParamError;
    Impl::Lock lock(impl_->connection.loop());
    if (!impl_->nodeByObject(device) && !impl_->aggregates.count(device))
        return kAudioHardwareBadDeviceError;
    auto proc = std::make_unique<Impl::IOProc>();
    proc->device = device;
    proc->block = block;
    const std::uintptr_t number = impl_->nextIOProcNumber++;
    proc->id = reinterpret_cast<AudioDeviceIOProcID>(number);
    *outID = proc->id;
    impl_->ioProcs[number] = std::move(proc);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID id)
{
    Impl::Lock lock(impl_->connection.loop());
    Impl::IOProc* proc = impl_->findIOProc(device, id);
    if (!proc)
        return kAudioHardwareIllegalOperationError;
    impl_->stopIOProc(*proc);
    impl_->ioProcs.erase(reinterpret_cast<std::uintptr_t>(id));
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::startDevice(AudioObjectID device, AudioDeviceIOProcID id)
{
    Impl::Lock lock(impl_->connection.loop());
    if (!impl_->session)
        return kAudioHardwareNotRunningError;
    if (!impl_->nodeByObject(device) && !impl_->aggregates.count(device))
        return kAudioHardwareBadDeviceError;
    if (!id)
        return kAudioHardwareNoError;  // nothing to run without an IOProc
    Impl::IOProc* proc = impl_->findIOProc(device, id);
    if (!proc)
        return kAudioHardwareIllegalOperationError;
    return proc->route ? kAudioHardwareNoError : impl_->startIOProc(*proc);
}

OSStatus PipeWireAudioSystem::stopDevice(AudioObjectID device, AudioDeviceIOProcID id)
{
    Impl::Lock lock(impl_->connection.loop());
    if (!id)
        return kAudioHardwareNoError;
    Impl::IOProc* proc = impl_->findIOProc(device, id);
    if (!proc)
        return kAudioHardwareIllegalOperationError;
    impl_->stopIOProc(*proc);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::createProcessTap(const CATapDescription& description, AudioObjectID* outTapID)
{
    if (!outTapID)
        return kAudio_ParamError;
    // Linking adds a listener and never takes the application away from its
    // own outputs: a tap that mutes cannot be had this way.
    if (description.muteBehavior() != CATapUnmuted)
        return kAudioHardwareUnsupportedOperationError;
    Impl::Lock lock(impl_->connection.loop());
    auto tap = std::make_unique<Impl::Tap>();
    tap->id = impl_->nextObjectID++;
    tap->name = description.name();
    tap->bundleIDs = description.bundleIDs();
    tap->uid = "pipewire-tap-" + std::to_string(getpid()) + "-" + std::to_string(tap->id);
    *outTapID = tap->id;
    impl_->taps[tap->id] = std::move(tap);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::destroyProcessTap(AudioObjectID tap)
{
    Impl::Lock lock(impl_->connection.loop());
    return impl_->taps.erase(tap) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

// The taps' drift compensation needs nothing more here: the program's node
// is linked to the tapped applications, so it runs on their driver's clock,
// and PipeWire matches every other linked device to that clock.
OSStatus PipeWireAudioSystem::createAggregateDevice(const CFDictionary& description, AudioObjectID* outDeviceID)
{
    if (!outDeviceID)
        return kAudio_ParamError;
    auto text = [&](const char* key) -> std::string {
        const auto it = description.find(key);
        const std::string* value = it == description.end() ? nullptr : it->second.string();
        return value ? *value : std::string();
    };
    if (const auto sub = description.find(kAudioAggregateDeviceSubDeviceListKey); sub != description.end()) {
        const CFArray* list = sub->second.array();
        if (list && !list->empty())
            return kAudioHardwareUnsupportedOperationError;  // only taps can be aggregated here
    }
    Impl::Lock lock(impl_->connection.loop());
    auto aggregate = std::make_unique<Impl::Aggregate>();
    aggregate->uid = text(kAudioAggregateDeviceUIDKey);
    aggregate->name = text(kAudioAggregateDeviceNameKey);
    if (aggregate->uid.empty())
        return kAudio_ParamError;
    if (const auto list = description.find(kAudioAggregateDeviceTapListKey); list != description.end()) {
        const CFArray* entries = list->second.array();
        for (const CFPropertyList& entry : entries ? *entries : CFArray{}) {
            const CFDictionary* sub = entry.dictionary();
            const auto uid = sub ? sub->find(kAudioSubTapUIDKey) : CFDictionary::const_iterator{};
            const std::string* tapUID = sub && uid != sub->end() ? uid->second.string() : nullptr;
            const auto tap = std::find_if(impl_->taps.begin(), impl_->taps.end(),
                                          [&](const auto& t) { return tapUID && t.second->uid == *tapUID; });
            if (tap == impl_->taps.end())
                return kAudioHardwareBadObjectError;
            for (const std::string& id : tap->second->bundleIDs)
                aggregate->bundleIDs.push_back(id);
        }
    }
    aggregate->id = impl_->nextObjectID++;
    aggregate->streamID = impl_->nextObjectID++;
    *outDeviceID = aggregate->id;
    impl_->aggregates[aggregate->id] = std::move(aggregate);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::destroyAggregateDevice(AudioObjectID device)
{
    Impl::Lock lock(impl_->connection.loop());
    if (!impl_->aggregates.count(device))
        return kAudioHardwareBadDeviceError;
    // Its IOProcs go with it.
    for (auto it = impl_->ioProcs.begin(); it != impl_->ioProcs.end();) {
        if (it->second->device == device) {
            impl_->stopIOProc(*it->second);
            it = impl_->ioProcs.erase(it);
        } else {
            ++it;
        }
    }
    impl_->aggregates.erase(device);
    return kAudioHardwareNoError;
}

AVAuthorizationStatus PipeWireAudioSystem::microphoneAuthorizationStatus() { return AVAuthorizationStatus::authorized; }

void PipeWireAudioSystem::requestMicrophoneAccess(std::function<void(bool granted)> completion)
{
    if (completion)
        completion(true);
}
