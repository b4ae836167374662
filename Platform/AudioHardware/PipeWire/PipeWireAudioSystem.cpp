#include "PipeWireAudioSystem.h"

#include <pipewire/pipewire.h>
#include <pipewire/extensions/metadata.h>
#include <pipewire/filter.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace {

// How long a call waits for the server before giving up.
constexpr int kServerTimeoutSeconds = 5;
constexpr AudioObjectID kFirstObjectID = 100;
// The largest cycle PipeWire runs (its default clock.max-quantum is 2048;
// the hard limit is 8192). The tap's interleaving buffer holds this much.
constexpr std::uint32_t kMaxCycleFrames = 8192;
constexpr double kDefaultGraphRate = 48000.0;
constexpr std::uint32_t kDefaultQuantum = 1024;

using Properties = std::map<std::string, std::string, std::less<>>;

void mergeProperties(Properties& into, const spa_dict* dict)
{
    if (!dict)
        return;
    const spa_dict_item* item;
    spa_dict_for_each(item, dict)
    {
        if (item->key && item->value)
            into[item->key] = item->value;
    }
}

std::string lookup(const Properties& props, std::string_view key)
{
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

std::optional<double> parseNumber(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str())
        return std::nullopt;
    return value;
}

// The "name" of a metadata value such as {"name":"alsa_input.usb-mic"}.
std::string jsonName(const char* json)
{
    if (!json)
        return {};
    spa_json outer, object;
    spa_json_init(&outer, json, std::strlen(json));
    if (spa_json_enter_object(&outer, &object) <= 0)
        return {};
    char key[64];
    while (spa_json_get_string(&object, key, sizeof key) > 0) {
        if (std::strcmp(key, "name") == 0) {
            char value[512];
            if (spa_json_get_string(&object, value, sizeof value) > 0)
                return value;
            return {};
        }
        const char* skipped;
        if (spa_json_next(&object, &skipped) <= 0)
            break;
    }
    return {};
}

// "output_FL" → "FL", "capture_MONO" → "MONO".
std::string channelOfPortName(const std::string& name)
{
    auto underscore = name.rfind('_');
    return underscore == std::string::npos ? name : name.substr(underscore + 1);
}

std::uint64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000000u + std::uint64_t(now.tv_nsec);
}

AudioTimeStamp timeStamp(double sampleTime, std::uint64_t hostTime)
{
    AudioTimeStamp t{};
    t.mSampleTime = sampleTime;
    t.mHostTime = hostTime;
    t.mRateScalar = 1.0;
    t.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    return t;
}

template <class T>
OSStatus writeScalar(const T& value, std::uint32_t* ioSize, void* out)
{
    if (*ioSize < sizeof(T))
        return kAudioHardwareBadPropertySizeError;
    std::memcpy(out, &value, sizeof(T));
    *ioSize = sizeof(T);
    return kAudioHardwareNoError;
}

OSStatus writeIDs(const std::vector<AudioObjectID>& ids, std::uint32_t* ioSize, void* out)
{
    const std::size_t count = std::min<std::size_t>(ids.size(), *ioSize / sizeof(AudioObjectID));
    if (count)
        std::memcpy(out, ids.data(), count * sizeof(AudioObjectID));
    *ioSize = std::uint32_t(count * sizeof(AudioObjectID));
    return kAudioHardwareNoError;
}

OSStatus writeString(const std::string& value, std::uint32_t* ioSize, void* out)
{
    if (*ioSize < sizeof(CFStringRef))
        return kAudioHardwareBadPropertySizeError;
    CFStringRef string = CFStringCreateWithUTF8(value);
    std::memcpy(out, &string, sizeof string);
    *ioSize = sizeof(CFStringRef);
    return kAudioHardwareNoError;
}

bool isDeviceClass(const std::string& mediaClass)
{
    return mediaClass == "Audio/Source" || mediaClass == "Audio/Source/Virtual" || mediaClass == "Audio/Sink"
        || mediaClass == "Audio/Duplex";
}

// F32 interleaved at `rate` with `channels` channels, built into `buffer`.
const spa_pod* audioFormat(spa_pod_builder& builder, std::uint32_t channels, double rate)
{
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = std::uint32_t(rate + 0.5);
    info.channels = channels;
    if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else if (channels == 2) {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    } else {
        for (std::uint32_t c = 0; c < channels && c < SPA_AUDIO_MAX_CHANNELS; ++c)
            info.position[c] = SPA_AUDIO_CHANNEL_AUX0 + c;
    }
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

} // namespace

struct PipeWireAudioSystem::Impl {
    struct Node {
        Impl* impl = nullptr;
        std::uint32_t globalID = 0;
        AudioObjectID objectID = 0;  // devices only
        AudioObjectID inputStreamID = 0;
        AudioObjectID outputStreamID = 0;
        Properties props;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        bool hasInfo = false;
        std::uint32_t inputPorts = 0;
        std::uint32_t outputPorts = 0;
        double requestedRate = 0;          // set through 'nsrt' by this process
        std::uint32_t requestedFrames = 0;  // set through 'fsiz' by this process

        std::string mediaClass() const { return lookup(props, PW_KEY_MEDIA_CLASS); }
        std::string name() const { return lookup(props, PW_KEY_NODE_NAME); }
        bool isDevice() const { return isDeviceClass(mediaClass()); }
        bool isListed() const { return objectID != 0 && hasInfo; }
        bool isApplicationStream() const { return mediaClass() == "Stream/Output/Audio"; }
        // A source's capture ports are its outputs (a virtual source marks them
        // as monitor ports); a sink's monitor outputs are not a microphone.
        std::uint32_t inputChannels() const
        {
            const std::string c = mediaClass();
            return c == "Audio/Source" || c == "Audio/Source/Virtual" || c == "Audio/Duplex" ? outputPorts : 0;
        }
        std::uint32_t outputChannels() const
        {
            const std::string c = mediaClass();
            return c == "Audio/Sink" || c == "Audio/Source/Virtual" || c == "Audio/Duplex" ? inputPorts : 0;
        }
        std::string displayName() const
        {
            for (const char* key : {PW_KEY_NODE_DESCRIPTION, PW_KEY_NODE_NICK, PW_KEY_NODE_NAME})
                if (auto value = lookup(props, key); !value.empty())
                    return value;
            return {};
        }
    };

    struct Port {
        std::uint32_t nodeGlobalID = 0;
        std::uint32_t index = 0;  // port.id: the order within its node
        bool isOutput = false;
        bool isMonitor = false;
        std::string channel;
    };

    struct Client {
        Impl* impl = nullptr;
        std::uint32_t globalID = 0;
        Properties props;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
    };

    struct Metadata;
    // One binding of a metadata object and the values (subject 0) it brought.
    struct MetadataBinding {
        Metadata* owner = nullptr;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        std::map<std::string, std::string> values;
    };

    struct Metadata {
        Impl* impl = nullptr;
        std::string name;
        // Exported by a client (the session manager) rather than kept by the
        // server itself: only those can lose changes, see refreshMetadata().
        bool exported = false;
        std::unique_ptr<MetadataBinding> current;
        // A second binding made to read the object afresh; it replaces
        // `current` once its values are complete.
        std::unique_ptr<MetadataBinding> fresh;
    };

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

    struct IOProc;
    // A link this system asked the server for, from an output port to an
    // input port.
    struct Link {
        IOProc* proc = nullptr;
        std::uint32_t outputPort = 0;
        std::uint32_t inputPort = 0;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        bool bound = false;    // the server made it
        bool failed = false;   // the server refused it or took it away
        bool refused = false;  // the server refused it
    };

    struct IOProc {
        Impl* impl = nullptr;
        AudioDeviceIOProcID id = nullptr;
        AudioObjectID device = 0;
        AudioDeviceIOBlock block;
        bool inputEnabled = false;  // through 'suse'

        // While started.
        enum class Kind { capture, playback, tap } kind = Kind::capture;
        pw_stream* stream = nullptr;
        pw_filter* filter = nullptr;
        spa_hook hook{};
        void* ports[2] = {nullptr, nullptr};
        std::uint32_t channels = 0;
        double rate = 0;
        int state = 0;  // pw_stream_state or pw_filter_state, as an int
        std::uint32_t targetNode = SPA_ID_INVALID;  // playback only: the device's node
        std::vector<std::string> bundleIDs;        // tap only
        // Playback and tap: the links this system made for it.
        std::vector<std::unique_ptr<Link>> links;
        // Links the server refused in a row: retried up to a limit.
        int refusedLinks = 0;

        // The data thread's own: prepared before the stream starts.
        std::atomic<bool> active{false};
        AudioBufferList input{};
        AudioBufferList output{};
        std::vector<float> interleaved;
        double sampleTime = 0;
    };

    struct Listener {
        AudioObjectID object = 0;
        AudioObjectPropertyAddress address{};
        dispatch_queue_t queue = nullptr;
        AudioObjectPropertyListenerBlock block;
        std::shared_ptr<std::atomic<bool>> active;
    };

    // Connection.
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    int pendingSync = -1;
    bool syncDone = false;
    spa_source* relinkEvent = nullptr;  // reconciles links outside the event that broke them
    int refreshSync = -1;        // the round trip that completes a metadata refresh
    bool refreshing = false;
    bool refreshAgain = false;
    std::atomic<bool> connected{false};

    // The graph as the registry tells it; guarded by the thread loop's lock.
    std::map<std::uint32_t, std::unique_ptr<Node>> nodes;  // by global id
    std::map<std::uint32_t, Port> ports;                    // by global id
    std::map<std::uint32_t, std::unique_ptr<Client>> clients;
    std::map<std::uint32_t, std::unique_ptr<Metadata>> metadata;  // by global id
    std::map<AudioObjectID, std::unique_ptr<Tap>> taps;
    std::map<AudioObjectID, std::unique_ptr<Aggregate>> aggregates;
    std::map<AudioObjectID, std::unique_ptr<IOProc>> ioProcs;  // by the number behind the IOProc id
    std::vector<Listener> listeners;
    AudioObjectID nextObjectID = kFirstObjectID;
    std::uintptr_t nextIOProcNumber = 1;

    // What listeners were last told.
    std::vector<std::tuple<AudioObjectID, std::uint32_t, std::uint32_t>> publishedDevices;
    AudioObjectID publishedDefaultInput = 0;
    AudioObjectID publishedDefaultOutput = 0;

    class Lock {
    public:
        explicit Lock(pw_thread_loop* l) : loop_(l) { pw_thread_loop_lock(loop_); }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    ~Impl();
    bool start();
    bool roundTrip();  // lock held
    bool waitFor(const std::function<bool()>& condition);  // lock held

    // Registry.
    void addGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void removeGlobal(std::uint32_t id);
    void afterChange();
    void notify(AudioObjectPropertySelector selector);
    std::unique_ptr<MetadataBinding> bindMetadata(Metadata& m, std::uint32_t id);
    void unbindMetadata(std::unique_ptr<MetadataBinding>& binding);
    void refreshMetadata();
    void finishMetadataRefresh();

    // Lookups; lock held.
    Node* nodeByObject(AudioObjectID id) const;
    Node* nodeByStream(AudioObjectID streamID) const;
    Node* listedNodeNamed(const std::string& name) const;
    Aggregate* aggregateByStream(AudioObjectID streamID) const;
    std::vector<AudioObjectID> deviceIDs() const;
    AudioObjectID defaultDevice(const char* key) const;
    std::string metadataValue(const std::string& name, const std::string& key) const;
    double graphRate() const;
    std::uint32_t graphQuantum() const;
    double deviceRate(const Node& node) const;
    bool objectExists(AudioObjectID id) const;
    IOProc* findIOProc(AudioObjectID device, AudioDeviceIOProcID id) const;

    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* ioSize, void* out,
                          bool sizeOnly);

    // IOProcs.
    OSStatus startStream(IOProc& proc, Node& node);
    OSStatus startTapFilter(IOProc& proc, Aggregate& aggregate);
    void stopIOProc(IOProc& proc);
    void reconcileLinks(IOProc& proc);
    void reconcileTapLinks(IOProc& proc);
    void reconcilePlaybackLinks(IOProc& proc);
    void makeLink(IOProc& proc, std::uint32_t outputNode, std::uint32_t outputPort, std::uint32_t inputNode,
                  std::uint32_t inputPort);
    static void dropLink(Link& link);
    void dropLinks(IOProc& proc, const std::function<bool(const Link&)>& which);
    bool isLinked(const IOProc& proc, std::uint32_t outputPort) const;
    bool linksSettled(const IOProc& proc, std::uint32_t node, bool outputs) const;
    void relink();
    bool followsApplication(const Node& node, const std::vector<std::string>& bundleIDs) const;

    static void onCaptureProcess(void* data);
    static void onPlaybackProcess(void* data);
    static void onTapProcess(void* data, spa_io_position* position);
};

// ---------------------------------------------------------------------------
// Event tables. PipeWire calls these on the thread loop, with its lock held.

namespace {

using Impl = PipeWireAudioSystem::Impl;

void onCoreDone(void* data, std::uint32_t id, int seq)
{
    auto* impl = static_cast<Impl*>(data);
    if (id != PW_ID_CORE)
        return;
    if (impl->refreshing && seq == impl->refreshSync)
        impl->finishMetadataRefresh();
    if (seq == impl->pendingSync) {
        impl->syncDone = true;
        pw_thread_loop_signal(impl->loop, false);
    }
}

void onCoreError(void* data, std::uint32_t id, int, int res, const char*)
{
    auto* impl = static_cast<Impl*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
        impl->connected = false;
        pw_thread_loop_signal(impl->loop, false);
    }
}

const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onCoreDone;
    e.error = onCoreError;
    return e;
}();

void onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                      const spa_dict* props)
{
    static_cast<Impl*>(data)->addGlobal(id, type, props);
}

void onRegistryGlobalRemove(void* data, std::uint32_t id) { static_cast<Impl*>(data)->removeGlobal(id); }

const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onRegistryGlobal;
    e.global_remove = onRegistryGlobalRemove;
    return e;
}();

void onNodeInfo(void* data, const pw_node_info* info)
{
    auto* node = static_cast<Impl::Node*>(data);
    node->hasInfo = true;
    node->inputPorts = info->n_input_ports;
    node->outputPorts = info->n_output_ports;
    mergeProperties(node->props, info->props);
    node->impl->afterChange();
}

const pw_node_events nodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = onNodeInfo;
    return e;
}();

void onClientInfo(void* data, const pw_client_info* info)
{
    auto* client = static_cast<Impl::Client*>(data);
    mergeProperties(client->props, info->props);
    client->impl->afterChange();
}

const pw_client_events clientEvents = [] {
    pw_client_events e{};
    e.version = PW_VERSION_CLIENT_EVENTS;
    e.info = onClientInfo;
    return e;
}();

int onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*, const char* value)
{
    auto* binding = static_cast<Impl::MetadataBinding*>(data);
    if (subject != PW_ID_CORE)
        return 0;
    if (!key)
        binding->values.clear();
    else if (!value)
        binding->values.erase(key);
    else
        binding->values[key] = value;
    // A fresh binding counts once it is complete.
    if (binding == binding->owner->current.get())
        binding->owner->impl->afterChange();
    return 0;
}

const pw_metadata_events metadataEvents = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = onMetadataProperty;
    return e;
}();

void onLinkBound(void* data, std::uint32_t)
{
    auto* link = static_cast<Impl::Link*>(data);
    link->bound = true;
    link->proc->refusedLinks = 0;
    pw_thread_loop_signal(link->proc->impl->loop, false);
}

// Refused (a port that went away in the meantime) or destroyed by the server:
// made again, once this event is over, where the ports still are.
void onLinkGone(Impl::Link& link)
{
    if (link.failed)
        return;
    link.failed = true;
    Impl& impl = *link.proc->impl;
    pw_loop_signal_event(pw_thread_loop_get_loop(impl.loop), impl.relinkEvent);
    pw_thread_loop_signal(impl.loop, false);
}

void onLinkRemoved(void* data) { onLinkGone(*static_cast<Impl::Link*>(data)); }

void onLinkError(void* data, int, int, const char*)
{
    auto* link = static_cast<Impl::Link*>(data);
    link->refused = !link->bound;
    onLinkGone(*link);
}

const pw_proxy_events linkEvents = [] {
    pw_proxy_events e{};
    e.version = PW_VERSION_PROXY_EVENTS;
    e.bound = onLinkBound;
    e.removed = onLinkRemoved;
    e.error = onLinkError;
    return e;
}();

void onRelinkEvent(void* data, std::uint64_t) { static_cast<Impl*>(data)->relink(); }

void onStreamStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*)
{
    auto* proc = static_cast<Impl::IOProc*>(data);
    proc->state = int(state);
    pw_thread_loop_signal(proc->impl->loop, false);
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)
        proc->impl->reconcileLinks(*proc);
}

const pw_stream_events captureEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStreamStateChanged;
    e.process = Impl::onCaptureProcess;
    return e;
}();

const pw_stream_events playbackEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStreamStateChanged;
    e.process = Impl::onPlaybackProcess;
    return e;
}();

void onFilterStateChanged(void* data, pw_filter_state, pw_filter_state state, const char*)
{
    auto* proc = static_cast<Impl::IOProc*>(data);
    proc->state = int(state);
    pw_thread_loop_signal(proc->impl->loop, false);
    if (state == PW_FILTER_STATE_PAUSED || state == PW_FILTER_STATE_STREAMING)
        proc->impl->reconcileLinks(*proc);
}

const pw_filter_events tapEvents = [] {
    pw_filter_events e{};
    e.version = PW_VERSION_FILTER_EVENTS;
    e.state_changed = onFilterStateChanged;
    e.process = Impl::onTapProcess;
    return e;
}();

} // namespace

// ---------------------------------------------------------------------------
// Connection

Impl::~Impl()
{
    if (!loop)
        return;
    {
        Lock lock(loop);
        for (auto& [number, proc] : ioProcs)
            stopIOProc(*proc);
        for (auto& [id, node] : nodes)
            if (node->proxy)
                pw_proxy_destroy(node->proxy);
        for (auto& [id, client] : clients)
            pw_proxy_destroy(client->proxy);
        for (auto& [id, m] : metadata) {
            unbindMetadata(m->current);
            unbindMetadata(m->fresh);
        }
        for (auto& l : listeners)
            *l.active = false;
        if (registry)
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        if (relinkEvent)
            pw_loop_destroy_source(pw_thread_loop_get_loop(loop), relinkEvent);
    }
    pw_thread_loop_stop(loop);
    if (core)
        pw_core_disconnect(core);
    if (context)
        pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
}

bool Impl::start()
{
    loop = pw_thread_loop_new("vlm-pipewire", nullptr);
    if (!loop)
        return false;
    // client-rt.conf gives the data thread real-time priority where allowed.
    context = pw_context_new(pw_thread_loop_get_loop(loop),
                             pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!context)
        return false;
    relinkEvent = pw_loop_add_event(pw_thread_loop_get_loop(loop), onRelinkEvent, this);
    if (!relinkEvent || pw_thread_loop_start(loop) < 0)
        return false;
    Lock lock(loop);
    core = pw_context_connect(context, nullptr, 0);
    if (!core)
        return false;
    connected = true;
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
    // The first round trip brings every global (and binds them); the second
    // their info and metadata values.
    return roundTrip() && roundTrip();
}

bool Impl::waitFor(const std::function<bool()>& condition)
{
    timespec deadline{};
    pw_thread_loop_get_time(loop, &deadline, std::int64_t(kServerTimeoutSeconds) * SPA_NSEC_PER_SEC);
    while (!condition()) {
        if (!connected)
            return false;
        if (pw_thread_loop_timed_wait_full(loop, &deadline) != 0)
            return condition();
    }
    return true;
}

bool Impl::roundTrip()
{
    if (!connected)
        return false;
    syncDone = false;
    pendingSync = pw_core_sync(core, PW_ID_CORE, pendingSync);
    return waitFor([this] { return syncDone; });
}

// ---------------------------------------------------------------------------
// Registry

void Impl::addGlobal(std::uint32_t id, const char* type, const spa_dict* props)
{
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        auto node = std::make_unique<Node>();
        node->impl = this;
        node->globalID = id;
        mergeProperties(node->props, props);
        // Devices and application streams are what the calls ask about.
        if (!node->isDevice() && !node->isApplicationStream())
            return;
        if (node->isDevice()) {
            node->objectID = nextObjectID++;
            node->inputStreamID = nextObjectID++;
            node->outputStreamID = nextObjectID++;
        }
        node->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, PW_VERSION_NODE, 0));
        if (node->proxy)
            pw_proxy_add_object_listener(node->proxy, &node->listener, &nodeEvents, node.get());
        nodes[id] = std::move(node);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Properties p;
        mergeProperties(p, props);
        Port port;
        port.nodeGlobalID = std::uint32_t(parseNumber(lookup(p, PW_KEY_NODE_ID)).value_or(0));
        port.index = std::uint32_t(parseNumber(lookup(p, PW_KEY_PORT_ID)).value_or(0));
        port.isOutput = lookup(p, PW_KEY_PORT_DIRECTION) == "out";
        port.isMonitor = lookup(p, PW_KEY_PORT_MONITOR) == "true";
        port.channel = lookup(p, PW_KEY_AUDIO_CHANNEL);
        if (port.channel.empty())
            port.channel = channelOfPortName(lookup(p, PW_KEY_PORT_NAME));
        ports[id] = port;
        afterChange();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        auto client = std::make_unique<Client>();
        client->impl = this;
        client->globalID = id;
        mergeProperties(client->props, props);
        client->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, PW_VERSION_CLIENT, 0));
        if (!client->proxy)
            return;
        pw_proxy_add_object_listener(client->proxy, &client->listener, &clientEvents, client.get());
        clients[id] = std::move(client);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        Properties p;
        mergeProperties(p, props);
        // "default" holds the session's default devices, "settings" the
        // graph's clock.
        const std::string name = lookup(p, PW_KEY_METADATA_NAME);
        if (name != "default" && name != "settings")
            return;
        auto m = std::make_unique<Metadata>();
        m->impl = this;
        m->name = name;
        m->exported = !lookup(p, PW_KEY_CLIENT_ID).empty();
        m->current = bindMetadata(*m, id);
        if (!m->current)
            return;
        metadata[id] = std::move(m);
    }
}

void Impl::removeGlobal(std::uint32_t id)
{
    if (auto it = nodes.find(id); it != nodes.end()) {
        if (it->second->proxy) {
            spa_hook_remove(&it->second->listener);
            pw_proxy_destroy(it->second->proxy);
        }
        nodes.erase(it);
    } else if (auto port = ports.find(id); port != ports.end()) {
        ports.erase(port);
        // The server removed the port's links with it, on either side.
        for (auto& [number, proc] : ioProcs)
            dropLinks(*proc, [id](const Link& l) { return l.outputPort == id || l.inputPort == id; });
    } else if (auto client = clients.find(id); client != clients.end()) {
        spa_hook_remove(&client->second->listener);
        pw_proxy_destroy(client->second->proxy);
        clients.erase(client);
        refreshMetadata();
    } else if (auto m = metadata.find(id); m != metadata.end()) {
        unbindMetadata(m->second->current);
        unbindMetadata(m->second->fresh);
        metadata.erase(m);
    } else {
        return;
    }
    afterChange();
}

std::unique_ptr<Impl::MetadataBinding> Impl::bindMetadata(Metadata& m, std::uint32_t id)
{
    auto binding = std::make_unique<MetadataBinding>();
    binding->owner = &m;
    binding->proxy =
        static_cast<pw_proxy*>(pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!binding->proxy)
        return nullptr;
    pw_proxy_add_object_listener(binding->proxy, &binding->listener, &metadataEvents, binding.get());
    return binding;
}

void Impl::unbindMetadata(std::unique_ptr<MetadataBinding>& binding)
{
    if (!binding)
        return;
    spa_hook_remove(&binding->listener);
    pw_proxy_destroy(binding->proxy);
    binding.reset();
}

// PipeWire 0.3.65 passes a change to a metadata object that a client exports
// (the session manager's "default") only to the clients still binding that
// object, whenever any client is: a default device chosen while some tool
// (pw-metadata, wpctl) binds it is never told to clients that were already
// listening, and a tool that leaves before its binding is answered leaves
// them without any later change. A fresh binding is always sent every value,
// so the exported objects are bound afresh after each client leaves, which
// is when a tool that may have caused such a gap is done. Refreshes do not
// overlap: one asked for during another follows it.
void Impl::refreshMetadata()
{
    if (refreshing) {
        refreshAgain = true;
        return;
    }
    bool any = false;
    for (auto& [id, m] : metadata) {
        if (!m->exported)
            continue;
        unbindMetadata(m->fresh);
        m->fresh = bindMetadata(*m, id);
        any = any || m->fresh;
    }
    if (!any)
        return;
    refreshSync = pw_core_sync(core, PW_ID_CORE, refreshSync);
    refreshing = refreshSync >= 0;
    if (!refreshing)
        for (auto& [id, m] : metadata)
            unbindMetadata(m->fresh);
}

// The round trip after the fresh bindings is done: they have every value.
void Impl::finishMetadataRefresh()
{
    refreshing = false;
    for (auto& [id, m] : metadata) {
        if (!m->fresh)
            continue;
        unbindMetadata(m->current);
        m->current = std::move(m->fresh);
    }
    afterChange();
    if (refreshAgain) {
        refreshAgain = false;
        refreshMetadata();
    }
}

// Tells listeners what changed and lets running taps follow the applications.
void Impl::afterChange()
{
    std::vector<std::tuple<AudioObjectID, std::uint32_t, std::uint32_t>> devices;
    for (const auto& [id, node] : nodes)
        if (node->isListed())
            devices.emplace_back(node->objectID, node->inputChannels(), node->outputChannels());
    std::sort(devices.begin(), devices.end());
    if (devices != publishedDevices) {
        publishedDevices = std::move(devices);
        notify(kAudioHardwarePropertyDevices);
    }
    if (AudioObjectID input = defaultDevice("default.audio.source"); input != publishedDefaultInput) {
        publishedDefaultInput = input;
        notify(kAudioHardwarePropertyDefaultInputDevice);
    }
    if (AudioObjectID output = defaultDevice("default.audio.sink"); output != publishedDefaultOutput) {
        publishedDefaultOutput = output;
        notify(kAudioHardwarePropertyDefaultOutputDevice);
    }
    for (auto& [number, proc] : ioProcs)
        reconcileLinks(*proc);
    // A start may be waiting for ports to appear.
    pw_thread_loop_signal(loop, false);
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

Impl::Node* Impl::nodeByObject(AudioObjectID id) const
{
    for (const auto& [global, node] : nodes)
        if (node->objectID == id && node->isListed())
            return node.get();
    return nullptr;
}

Impl::Node* Impl::nodeByStream(AudioObjectID streamID) const
{
    for (const auto& [global, node] : nodes) {
        if (!node->isListed())
            continue;
        if ((node->inputStreamID == streamID && node->inputChannels())
            || (node->outputStreamID == streamID && node->outputChannels()))
            return node.get();
    }
    return nullptr;
}

Impl::Node* Impl::listedNodeNamed(const std::string& name) const
{
    if (name.empty())
        return nullptr;
    for (const auto& [global, node] : nodes)
        if (node->isListed() && node->name() == name)
            return node.get();
    return nullptr;
}

Impl::Aggregate* Impl::aggregateByStream(AudioObjectID streamID) const
{
    for (const auto& [id, aggregate] : aggregates)
        if (aggregate->streamID == streamID)
            return aggregate.get();
    return nullptr;
}

std::vector<AudioObjectID> Impl::deviceIDs() const
{
    std::vector<AudioObjectID> ids;
    for (const auto& [global, node] : nodes)
        if (node->isListed())
            ids.push_back(node->objectID);
    std::sort(ids.begin(), ids.end());
    return ids;
}

AudioObjectID Impl::defaultDevice(const char* key) const
{
    // The session may name a sink as the default source (meaning its
    // monitor); a default input is a device that captures, so that is none.
    const bool input = std::strcmp(key, "default.audio.source") == 0;
    const Node* node = listedNodeNamed(jsonName(metadataValue("default", key).c_str()));
    if (!node || (input ? node->inputChannels() : node->outputChannels()) == 0)
        return kAudioObjectUnknown;
    return node->objectID;
}

std::string Impl::metadataValue(const std::string& name, const std::string& key) const
{
    for (const auto& [id, m] : metadata) {
        if (m->name != name || !m->current)
            continue;
        if (auto value = m->current->values.find(key); value != m->current->values.end())
            return value->second;
    }
    return {};
}

double Impl::graphRate() const
{
    if (auto forced = parseNumber(metadataValue("settings", "clock.force-rate")); forced && *forced > 0)
        return *forced;
    if (auto rate = parseNumber(metadataValue("settings", "clock.rate")); rate && *rate > 0)
        return *rate;
    return kDefaultGraphRate;
}

std::uint32_t Impl::graphQuantum() const
{
    if (auto forced = parseNumber(metadataValue("settings", "clock.force-quantum")); forced && *forced > 0)
        return std::uint32_t(*forced);
    if (auto quantum = parseNumber(metadataValue("settings", "clock.quantum")); quantum && *quantum > 0)
        return std::uint32_t(*quantum);
    return kDefaultQuantum;
}

double Impl::deviceRate(const Node& node) const
{
    if (node.requestedRate > 0)
        return node.requestedRate;
    if (auto rate = parseNumber(lookup(node.props, PW_KEY_AUDIO_RATE)); rate && *rate > 0)
        return *rate;
    return graphRate();
}

bool Impl::objectExists(AudioObjectID id) const
{
    return id == kAudioObjectSystemObject || nodeByObject(id) || nodeByStream(id) || taps.count(id)
        || aggregates.count(id) || aggregateByStream(id);
}

Impl::IOProc* Impl::findIOProc(AudioObjectID device, AudioDeviceIOProcID id) const
{
    auto it = ioProcs.find(AudioObjectID(reinterpret_cast<std::uintptr_t>(id)));
    if (it == ioProcs.end() || it->second->device != device)
        return nullptr;
    return it->second.get();
}

// ---------------------------------------------------------------------------
// Properties

OSStatus Impl::readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                            std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* ioSize, void* out,
                            bool sizeOnly)
{
    const AudioObjectPropertySelector selector = address.mSelector;
    // Answers a size request, or writes the value.
    auto scalar = [&](auto value) -> OSStatus {
        if (sizeOnly) {
            *ioSize = sizeof(value);
            return kAudioHardwareNoError;
        }
        return writeScalar(value, ioSize, out);
    };
    auto idList = [&](const std::vector<AudioObjectID>& ids) -> OSStatus {
        if (sizeOnly) {
            *ioSize = std::uint32_t(ids.size() * sizeof(AudioObjectID));
            return kAudioHardwareNoError;
        }
        return writeIDs(ids, ioSize, out);
    };
    auto string = [&](const std::string& value) -> OSStatus {
        if (sizeOnly) {
            *ioSize = sizeof(CFStringRef);
            return kAudioHardwareNoError;
        }
        return writeString(value, ioSize, out);
    };

    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDevices:
            return idList(deviceIDs());
        case kAudioHardwarePropertyDefaultInputDevice:
            return scalar(defaultDevice("default.audio.source"));
        case kAudioHardwarePropertyDefaultOutputDevice:
            return scalar(defaultDevice("default.audio.sink"));
        case kAudioHardwarePropertyTranslateUIDToDevice: {
            if (sizeOnly)
                return scalar(AudioObjectID(0));
            if (qualifierSize < sizeof(CFStringRef) || !qualifier)
                return kAudioHardwareBadPropertySizeError;
            CFStringRef uid = nullptr;
            std::memcpy(&uid, qualifier, sizeof uid);
            if (!uid)
                return kAudio_ParamError;
            const std::string text = CFStringGetUTF8(uid);
            AudioObjectID found = kAudioObjectUnknown;
            if (const Node* node = listedNodeNamed(text))
                found = node->objectID;
            for (const auto& [id, aggregate] : aggregates)
                if (aggregate->uid == text)
                    found = id;
            return scalar(found);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const Node* node = nodeByObject(object)) {
        switch (selector) {
        case kAudioDevicePropertyDeviceUID:
            return string(node->name());
        case kAudioObjectPropertyName:
            return string(node->displayName());
        case kAudioDevicePropertyStreams: {
            std::vector<AudioObjectID> streams;
            const bool input = address.mScope != kAudioObjectPropertyScopeOutput;
            const bool output = address.mScope != kAudioObjectPropertyScopeInput;
            if (input && node->inputChannels())
                streams.push_back(node->inputStreamID);
            if (output && node->outputChannels())
                streams.push_back(node->outputStreamID);
            return idList(streams);
        }
        case kAudioDevicePropertyNominalSampleRate:
            return scalar(deviceRate(*node));
        case kAudioDevicePropertyBufferFrameSize:
            return scalar(node->requestedFrames ? node->requestedFrames : graphQuantum());
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const Node* node = nodeByStream(object)) {
        if (selector != kAudioStreamPropertyVirtualFormat)
            return kAudioHardwareUnknownPropertyError;
        const std::uint32_t channels = object == node->inputStreamID ? node->inputChannels() : node->outputChannels();
        return scalar(AudioStreamBasicDescriptionFloat32(deviceRate(*node), channels));
    }

    if (auto tap = taps.find(object); tap != taps.end()) {
        switch (selector) {
        case kAudioTapPropertyUID:
            return string(tap->second->uid);
        case kAudioObjectPropertyName:
            return string(tap->second->name);
        case kAudioTapPropertyFormat:
            return scalar(AudioStreamBasicDescriptionFloat32(graphRate(), 2));
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (auto it = aggregates.find(object); it != aggregates.end()) {
        const Aggregate& aggregate = *it->second;
        switch (selector) {
        case kAudioDevicePropertyDeviceUID:
            return string(aggregate.uid);
        case kAudioObjectPropertyName:
            return string(aggregate.name);
        case kAudioDevicePropertyStreams:
            return idList(address.mScope == kAudioObjectPropertyScopeOutput ? std::vector<AudioObjectID>{}
                                                                              : std::vector{aggregate.streamID});
        case kAudioDevicePropertyNominalSampleRate:
            return scalar(graphRate());
        case kAudioDevicePropertyBufferFrameSize:
            return scalar(graphQuantum());
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (aggregateByStream(object)) {
        if (selector != kAudioStreamPropertyVirtualFormat)
            return kAudioHardwareUnknownPropertyError;
        return scalar(AudioStreamBasicDescriptionFloat32(graphRate(), 2));
    }

    return kAudioHardwareBadObjectError;
}

// ---------------------------------------------------------------------------
// IOProcs

void Impl::onCaptureProcess(void* data)
{
    auto* proc = static_cast<IOProc*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(proc->stream);
    if (!buffer)
        return;
    spa_data& d = buffer->buffer->datas[0];
    if (d.data && d.chunk && proc->active.load(std::memory_order_acquire)) {
        const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
        const std::uint32_t frames = size / (4 * proc->channels);
        proc->input.mNumberBuffers = 1;
        proc->input.mBuffers[0] = {proc->channels, frames * 4 * proc->channels, static_cast<char*>(d.data) + offset};
        proc->output.mNumberBuffers = 0;
        const AudioTimeStamp now = timeStamp(proc->sampleTime, monotonicNanoseconds());
        proc->block(&now, &proc->input, &now, &proc->output, &now);
        proc->sampleTime += frames;
    }
    pw_stream_queue_buffer(proc->stream, buffer);
}

void Impl::onPlaybackProcess(void* data)
{
    auto* proc = static_cast<IOProc*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(proc->stream);
    if (!buffer)
        return;
    spa_data& d = buffer->buffer->datas[0];
    if (!d.data || !d.chunk) {
        pw_stream_queue_buffer(proc->stream, buffer);
        return;
    }
    const std::uint32_t stride = 4 * proc->channels;
    std::uint32_t frames = d.maxsize / stride;
    if (buffer->requested)
        frames = std::min<std::uint32_t>(frames, std::uint32_t(buffer->requested));
    std::memset(d.data, 0, std::size_t(frames) * stride);
    if (proc->active.load(std::memory_order_acquire)) {
        proc->input.mNumberBuffers = 0;
        proc->output.mNumberBuffers = 1;
        proc->output.mBuffers[0] = {proc->channels, frames * stride, d.data};
        const AudioTimeStamp now = timeStamp(proc->sampleTime, monotonicNanoseconds());
        proc->block(&now, &proc->input, &now, &proc->output, &now);
        proc->sampleTime += frames;
    }
    d.chunk->offset = 0;
    d.chunk->stride = std::int32_t(stride);
    d.chunk->size = frames * stride;
    pw_stream_queue_buffer(proc->stream, buffer);
}

void Impl::onTapProcess(void* data, spa_io_position* position)
{
    auto* proc = static_cast<IOProc*>(data);
    if (!position || !proc->active.load(std::memory_order_acquire))
        return;
    const std::uint32_t total = std::uint32_t(position->clock.duration);
    const float* left = static_cast<const float*>(pw_filter_get_dsp_buffer(proc->ports[0], total));
    const float* right = static_cast<const float*>(pw_filter_get_dsp_buffer(proc->ports[1], total));
    float* interleaved = proc->interleaved.data();
    for (std::uint32_t done = 0; done < total;) {
        const std::uint32_t frames = std::min(total - done, kMaxCycleFrames);
        for (std::uint32_t i = 0; i < frames; ++i) {
            interleaved[2 * i] = left ? left[done + i] : 0.0f;
            interleaved[2 * i + 1] = right ? right[done + i] : 0.0f;
        }
        proc->input.mNumberBuffers = 1;
        proc->input.mBuffers[0] = {2, frames * 8, interleaved};
        proc->output.mNumberBuffers = 0;
        const AudioTimeStamp now = timeStamp(proc->sampleTime, monotonicNanoseconds());
        proc->block(&now, &proc->input, &now, &proc->output, &now);
        proc->sampleTime += frames;
        done += frames;
    }
}

OSStatus Impl::startStream(IOProc& proc, Node& node)
{
    const bool capture = node.inputChannels() && (!node.outputChannels() || proc.inputEnabled);
    proc.kind = capture ? IOProc::Kind::capture : IOProc::Kind::playback;
    proc.channels = capture ? node.inputChannels() : node.outputChannels();
    proc.rate = deviceRate(node);
    if (!proc.channels)
        return kAudioHardwareBadStreamError;

    proc.targetNode = capture ? SPA_ID_INVALID : node.globalID;
    const std::string rate = "1/" + std::to_string(std::lround(proc.rate));
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, capture ? "Capture" : "Playback",
        PW_KEY_TARGET_OBJECT, node.name().c_str(),
        // An IOProc stays on its device: when the device goes, it goes quiet.
        PW_KEY_NODE_DONT_RECONNECT, "true",
        // Ask for the device's rate; PipeWire switches the graph only where its
        // own settings allow it and resamples otherwise.
        PW_KEY_NODE_RATE, rate.c_str(), nullptr);
    if (node.requestedFrames)
        pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%ld", node.requestedFrames, std::lround(proc.rate));
    // The session manager links capture streams to their device, but it
    // never links a playback stream into a source (the virtual device is
    // one): this system links playback streams itself.
    if (!capture)
        pw_properties_set(props, PW_KEY_NODE_AUTOCONNECT, "false");
    pw_properties_setf(props, PW_KEY_NODE_DESCRIPTION, "%s %s", capture ? "Capture from" : "Playback to",
                       node.displayName().c_str());

    proc.stream = pw_stream_new(core, capture ? "capture" : "playback", props);
    if (!proc.stream)
        return kAudioHardwareUnspecifiedError;
    pw_stream_add_listener(proc.stream, &proc.hook, capture ? &captureEvents : &playbackEvents, &proc);

    std::uint8_t podBuffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
    const spa_pod* params[1] = {audioFormat(builder, proc.channels, proc.rate)};
    proc.state = PW_STREAM_STATE_UNCONNECTED;
    proc.active = true;
    const int result = pw_stream_connect(
        proc.stream, capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
        pw_stream_flags((capture ? PW_STREAM_FLAG_AUTOCONNECT : 0) | PW_STREAM_FLAG_MAP_BUFFERS
                        | PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    if (result < 0)
        return kAudioHardwareUnspecifiedError;
    const bool ready = waitFor([&] {
        return proc.state == PW_STREAM_STATE_ERROR || proc.state == PW_STREAM_STATE_PAUSED
            || proc.state == PW_STREAM_STATE_STREAMING;
    });
    if (!ready || proc.state == PW_STREAM_STATE_ERROR)
        return ready ? kAudioDeviceUnsupportedFormatError : kAudioHardwareNotRunningError;
    if (!capture) {
        // Plays into the device once its ports are linked: they appear when
        // the session manager has configured the stream, which may be later
        // than any number of round trips. Past the wait they are linked as
        // they come.
        reconcileLinks(proc);
        waitFor([&] { return !proc.active || linksSettled(proc, pw_stream_get_node_id(proc.stream), true); });
    }
    // Started means running: the session manager links a capture stream to
    // its device when it gets to it, and a caller that takes the start for
    // "audio flows" would otherwise lose what comes first. Past the wait the
    // stream runs whenever it is linked.
    waitFor([&] {
        return !proc.active || proc.state == PW_STREAM_STATE_STREAMING || proc.state == PW_STREAM_STATE_ERROR;
    });
    return kAudioHardwareNoError;
}

OSStatus Impl::startTapFilter(IOProc& proc, Aggregate& aggregate)
{
    proc.kind = IOProc::Kind::tap;
    proc.channels = 2;
    proc.rate = graphRate();
    proc.bundleIDs = aggregate.bundleIDs;
    proc.interleaved.assign(std::size_t(kMaxCycleFrames) * 2, 0.0f);

    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS, "Stream/Input/Audio",
        PW_KEY_NODE_NAME, aggregate.uid.c_str(), PW_KEY_NODE_DESCRIPTION, aggregate.name.c_str(),
        // Private: the session manager links it to nothing; only this system
        // links the tapped applications to it.
        PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true",
        // Keeps cycles (of silence) coming while no application plays.
        PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr);
    proc.filter = pw_filter_new(core, aggregate.name.c_str(), props);
    if (!proc.filter)
        return kAudioHardwareUnspecifiedError;
    pw_filter_add_listener(proc.filter, &proc.hook, &tapEvents, &proc);
    const char* channels[2] = {"FL", "FR"};
    for (int c = 0; c < 2; ++c) {
        const std::string name = std::string("input_") + channels[c];
        proc.ports[c] = pw_filter_add_port(
            proc.filter, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
            pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, name.c_str(),
                              PW_KEY_AUDIO_CHANNEL, channels[c], nullptr),
            nullptr, 0);
        if (!proc.ports[c])
            return kAudioHardwareUnspecifiedError;
    }
    proc.state = PW_FILTER_STATE_UNCONNECTED;
    proc.active = true;
    if (pw_filter_connect(proc.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0)
        return kAudioHardwareUnspecifiedError;
    const bool ready = waitFor([&] {
        return proc.state == PW_FILTER_STATE_ERROR || proc.state == PW_FILTER_STATE_PAUSED
            || proc.state == PW_FILTER_STATE_STREAMING;
    });
    if (!ready || proc.state == PW_FILTER_STATE_ERROR)
        return kAudioHardwareNotRunningError;
    // Captures once its ports exist and the applications already playing are
    // linked to them.
    roundTrip();
    reconcileLinks(proc);
    waitFor([&] { return !proc.active || linksSettled(proc, pw_filter_get_node_id(proc.filter), false); });
    return kAudioHardwareNoError;
}

void Impl::stopIOProc(IOProc& proc)
{
    proc.active = false;
    dropLinks(proc, [](const Link&) { return true; });
    proc.refusedLinks = 0;
    if (proc.stream) {
        spa_hook_remove(&proc.hook);
        pw_stream_destroy(proc.stream);
        proc.stream = nullptr;
    }
    if (proc.filter) {
        spa_hook_remove(&proc.hook);
        pw_filter_destroy(proc.filter);
        proc.filter = nullptr;
        proc.ports[0] = proc.ports[1] = nullptr;
    }
    proc.sampleTime = 0;
}

bool Impl::followsApplication(const Node& node, const std::vector<std::string>& bundleIDs) const
{
    if (!node.hasInfo || !node.isApplicationStream())
        return false;
    auto matches = [&](const Properties& props) {
        for (const char* key : {PW_KEY_APP_ID, "pipewire.access.portal.app_id"}) {
            const std::string value = lookup(props, key);
            if (!value.empty() && std::find(bundleIDs.begin(), bundleIDs.end(), value) != bundleIDs.end())
                return true;
        }
        return false;
    };
    if (matches(node.props))
        return true;
    auto clientID = parseNumber(lookup(node.props, PW_KEY_CLIENT_ID));
    if (!clientID)
        return false;
    auto client = clients.find(std::uint32_t(*clientID));
    return client != clients.end() && matches(client->second->props);
}

void Impl::reconcileLinks(IOProc& proc)
{
    if (!proc.active)
        return;
    if (proc.filter)
        reconcileTapLinks(proc);
    else if (proc.stream && proc.kind == IOProc::Kind::playback)
        reconcilePlaybackLinks(proc);
}

void Impl::makeLink(IOProc& proc, std::uint32_t outputNode, std::uint32_t outputPort, std::uint32_t inputNode,
                    std::uint32_t inputPort)
{
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outputNode);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outputPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inputNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inputPort);
    // Gone with this connection, whatever happens to this process.
    pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
    auto* proxy = static_cast<pw_proxy*>(
        pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (!proxy)
        return;
    auto link = std::make_unique<Link>();
    link->proc = &proc;
    link->outputPort = outputPort;
    link->inputPort = inputPort;
    link->proxy = proxy;
    pw_proxy_add_listener(proxy, &link->listener, &linkEvents, link.get());
    proc.links.push_back(std::move(link));
}

void Impl::dropLink(Link& link)
{
    spa_hook_remove(&link.listener);
    pw_proxy_destroy(link.proxy);
}

void Impl::dropLinks(IOProc& proc, const std::function<bool(const Link&)>& which)
{
    auto gone = std::stable_partition(proc.links.begin(), proc.links.end(),
                                      [&](const std::unique_ptr<Link>& l) { return !which(*l); });
    for (auto it = gone; it != proc.links.end(); ++it)
        dropLink(**it);
    proc.links.erase(gone, proc.links.end());
}

bool Impl::isLinked(const IOProc& proc, std::uint32_t outputPort) const
{
    return std::any_of(proc.links.begin(), proc.links.end(),
                       [&](const std::unique_ptr<Link>& l) { return l->outputPort == outputPort; });
}

// True once `node` (the stream's or the filter's own) has all its ports of the
// side that gets linked and every link asked for is made or refused.
bool Impl::linksSettled(const IOProc& proc, std::uint32_t node, bool outputs) const
{
    if (node == SPA_ID_INVALID)
        return false;
    std::uint32_t count = 0;
    for (const auto& [id, port] : ports) {
        if (port.nodeGlobalID != node || port.isOutput != outputs || port.isMonitor)
            continue;
        ++count;
        if (outputs && !isLinked(proc, id))
            return false;
    }
    return count >= proc.channels
        && std::all_of(proc.links.begin(), proc.links.end(),
                       [](const std::unique_ptr<Link>& l) { return l->bound || l->failed; });
}

// Links the server refused or destroyed are dropped and asked for again
// where their ports still exist; refusals that go on are given up, as the
// server would refuse once more.
void Impl::relink()
{
    constexpr int kMaxRefusedLinks = 16;
    for (auto& [number, proc] : ioProcs) {
        const auto refused = std::count_if(proc->links.begin(), proc->links.end(),
                                           [](const std::unique_ptr<Link>& l) { return l->refused; });
        if (std::none_of(proc->links.begin(), proc->links.end(),
                         [](const std::unique_ptr<Link>& l) { return l->failed; }))
            continue;
        // An output port is linked again as a whole (a mono one has two links).
        std::set<std::uint32_t> outputs;
        for (const auto& l : proc->links)
            if (l->failed)
                outputs.insert(l->outputPort);
        dropLinks(*proc, [&](const Link& l) { return outputs.count(l.outputPort) > 0; });
        proc->refusedLinks += int(refused);
        if (proc->refusedLinks <= kMaxRefusedLinks)
            reconcileLinks(*proc);
    }
}

void Impl::reconcileTapLinks(IOProc& proc)
{
    const std::uint32_t filterNode = pw_filter_get_node_id(proc.filter);
    if (filterNode == SPA_ID_INVALID)
        return;
    std::uint32_t filterPorts[2] = {SPA_ID_INVALID, SPA_ID_INVALID};
    for (const auto& [id, port] : ports) {
        if (port.nodeGlobalID != filterNode || port.isOutput)
            continue;
        if (port.channel == "FL")
            filterPorts[0] = id;
        else if (port.channel == "FR")
            filterPorts[1] = id;
    }
    if (filterPorts[0] == SPA_ID_INVALID || filterPorts[1] == SPA_ID_INVALID)
        return;

    for (const auto& [id, port] : ports) {
        if (!port.isOutput || port.isMonitor || isLinked(proc, id))
            continue;
        auto node = nodes.find(port.nodeGlobalID);
        if (node == nodes.end() || !followsApplication(*node->second, proc.bundleIDs))
            continue;
        // Left channels to the left input, right to the right, the rest
        // (mono, centre) to both.
        const std::string& c = port.channel;
        std::vector<std::uint32_t> targets;
        if (!c.empty() && c.back() == 'L')
            targets = {filterPorts[0]};
        else if (!c.empty() && c.back() == 'R')
            targets = {filterPorts[1]};
        else
            targets = {filterPorts[0], filterPorts[1]};
        for (std::uint32_t target : targets)
            makeLink(proc, port.nodeGlobalID, id, filterNode, target);
    }
}

void Impl::reconcilePlaybackLinks(IOProc& proc)
{
    const std::uint32_t streamNode = pw_stream_get_node_id(proc.stream);
    if (streamNode == SPA_ID_INVALID || proc.targetNode == SPA_ID_INVALID)
        return;
    // Both sides in port order; equal channel names pair first, the rest by order.
    std::vector<std::pair<std::uint32_t, const Port*>> outputs, inputs;
    for (const auto& [id, port] : ports) {
        if (port.nodeGlobalID == streamNode && port.isOutput && !port.isMonitor)
            outputs.emplace_back(id, &port);
        else if (port.nodeGlobalID == proc.targetNode && !port.isOutput)
            inputs.emplace_back(id, &port);
    }
    if (outputs.empty() || inputs.empty())
        return;
    auto byIndex = [](const auto& a, const auto& b) { return a.second->index < b.second->index; };
    std::sort(outputs.begin(), outputs.end(), byIndex);
    std::sort(inputs.begin(), inputs.end(), byIndex);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const auto& [outputID, output] = outputs[i];
        if (isLinked(proc, outputID))
            continue;
        auto input = std::find_if(inputs.begin(), inputs.end(),
                                  [&](const auto& in) { return in.second->channel == output->channel; });
        if (input == inputs.end())
            input = inputs.begin() + std::ptrdiff_t(std::min(i, inputs.size() - 1));
        makeLink(proc, streamNode, outputID, proc.targetNode, input->first);
    }
}

// ---------------------------------------------------------------------------
// The backend

std::shared_ptr<PipeWireAudioSystem> PipeWireAudioSystem::connect()
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    auto impl = std::make_unique<Impl>();
    if (!impl->start())
        return nullptr;
    return std::shared_ptr<PipeWireAudioSystem>(new PipeWireAudioSystem(std::move(impl)));
}

PipeWireAudioSystem::PipeWireAudioSystem(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PipeWireAudioSystem::~PipeWireAudioSystem() = default;

bool PipeWireAudioSystem::synchronize()
{
    Impl::Lock lock(impl_->loop);
    return impl_->roundTrip();
}

bool PipeWireAudioSystem::isConnected() const { return impl_->connected; }

OSStatus PipeWireAudioSystem::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                  std::uint32_t qualifierSize, const void* qualifier,
                                                  std::uint32_t* outSize)
{
    if (!outSize)
        return kAudio_ParamError;
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
    return impl_->readProperty(object, address, qualifierSize, qualifier, outSize, nullptr, true);
}

OSStatus PipeWireAudioSystem::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              std::uint32_t qualifierSize, const void* qualifier,
                                              std::uint32_t* ioSize, void* outData)
{
    if (!ioSize || !outData)
        return kAudio_ParamError;
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
    return impl_->readProperty(object, address, qualifierSize, qualifier, ioSize, outData, false);
}

OSStatus PipeWireAudioSystem::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              std::uint32_t, const void*, std::uint32_t size, const void* data)
{
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
    Impl::Node* node = impl_->nodeByObject(object);
    if (!node)
        return impl_->objectExists(object) ? kAudioHardwareUnknownPropertyError : kAudioHardwareBadObjectError;

    switch (address.mSelector) {
    case kAudioDevicePropertyNominalSampleRate: {
        double rate = 0;
        if (size < sizeof rate || !data)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&rate, data, sizeof rate);
        if (!(rate >= 8000.0 && rate <= 384000.0))
            return kAudioDeviceUnsupportedFormatError;
        // Streams of this process on the device open at this rate from now
        // on; PipeWire resamples where the graph runs at another.
        node->requestedRate = rate;
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyBufferFrameSize: {
        std::uint32_t frames = 0;
        if (size < sizeof frames || !data)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&frames, data, sizeof frames);
        if (frames < 16 || frames > kMaxCycleFrames)
            return kAudio_ParamError;
        node->requestedFrames = frames;
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyIOProcStreamUsage: {
        if (size < offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) || !data)
            return kAudioHardwareBadPropertySizeError;
        AudioHardwareIOProcStreamUsage usage{};
        std::memcpy(&usage, data, offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn));
        if (size < offsetof(AudioHardwareIOProcStreamUsage, mStreamIsOn) + 4 * std::size_t(usage.mNumberStreams))
            return kAudioHardwareBadPropertySizeError;
        Impl::IOProc* proc = impl_->findIOProc(object, static_cast<AudioDeviceIOProcID>(usage.mIOProc));
        if (!proc)
            return kAudioHardwareIllegalOperationError;
        if (address.mScope == kAudioObjectPropertyScopeInput) {
            std::uint32_t first = 0;
            if (usage.mNumberStreams)
                std::memcpy(&first, static_cast<const std::uint8_t*>(data) + offsetof(AudioHardwareIOProcStreamUsage,
                                                                                       mStreamIsOn),
                            sizeof first);
            proc->inputEnabled = usage.mNumberStreams && first;
        }
        return kAudioHardwareNoError;
    }
    default: {
        std::uint32_t ignored = 0;
        const bool known = impl_->readProperty(object, address, 0, nullptr, &ignored, nullptr, true)
                        != kAudioHardwareUnknownPropertyError;
        return known ? kAudioHardwareIllegalOperationError : kAudioHardwareUnknownPropertyError;
    }
    }
}

OSStatus PipeWireAudioSystem::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                  dispatch_queue_t queue,
                                                  const AudioObjectPropertyListenerBlock& listener)
{
    if (!listener)
        return kAudio_ParamError;
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
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
    Impl::Lock lock(impl_->loop);
    auto& listeners = impl_->listeners;
    auto it = std::find_if(listeners.begin(), listeners.end(), [&](const Impl::Listener& l) {
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
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
    if (!impl_->nodeByObject(device) && !impl_->aggregates.count(device))
        return kAudioHardwareBadDeviceError;
    auto proc = std::make_unique<Impl::IOProc>();
    proc->impl = impl_.get();
    proc->device = device;
    proc->block = block;
    const std::uintptr_t number = impl_->nextIOProcNumber++;
    proc->id = reinterpret_cast<AudioDeviceIOProcID>(number);
    *outID = proc->id;
    impl_->ioProcs[AudioObjectID(number)] = std::move(proc);
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID id)
{
    Impl::Lock lock(impl_->loop);
    Impl::IOProc* proc = impl_->findIOProc(device, id);
    if (!proc)
        return kAudioHardwareIllegalOperationError;
    impl_->stopIOProc(*proc);
    impl_->ioProcs.erase(AudioObjectID(reinterpret_cast<std::uintptr_t>(id)));
    return kAudioHardwareNoError;
}

OSStatus PipeWireAudioSystem::startDevice(AudioObjectID device, AudioDeviceIOProcID id)
{
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
    Impl::Node* node = impl_->nodeByObject(device);
    auto aggregate = impl_->aggregates.find(device);
    if (!node && aggregate == impl_->aggregates.end())
        return kAudioHardwareBadDeviceError;
    if (!id)
        return kAudioHardwareNoError;  // nothing to run without an IOProc
    Impl::IOProc* proc = impl_->findIOProc(device, id);
    if (!proc)
        return kAudioHardwareIllegalOperationError;
    if (proc->stream || proc->filter)
        return kAudioHardwareNoError;
    const OSStatus status =
        node ? impl_->startStream(*proc, *node) : impl_->startTapFilter(*proc, *aggregate->second);
    if (status != kAudioHardwareNoError)
        impl_->stopIOProc(*proc);
    return status;
}

OSStatus PipeWireAudioSystem::stopDevice(AudioObjectID device, AudioDeviceIOProcID id)
{
    Impl::Lock lock(impl_->loop);
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
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
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
    Impl::Lock lock(impl_->loop);
    return impl_->taps.erase(tap) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus PipeWireAudioSystem::createAggregateDevice(const CFDictionary& description, AudioObjectID* outDeviceID)
{
    if (!outDeviceID)
        return kAudio_ParamError;
    auto text = [&](const char* key) -> std::string {
        auto it = description.find(key);
        const std::string* value = it == description.end() ? nullptr : it->second.string();
        return value ? *value : std::string();
    };
    if (auto sub = description.find(kAudioAggregateDeviceSubDeviceListKey); sub != description.end()) {
        const CFArray* list = sub->second.array();
        if (list && !list->empty())
            return kAudioHardwareUnsupportedOperationError;  // only taps can be aggregated here
    }
    Impl::Lock lock(impl_->loop);
    if (!impl_->connected)
        return kAudioHardwareNotRunningError;
    auto aggregate = std::make_unique<Impl::Aggregate>();
    aggregate->uid = text(kAudioAggregateDeviceUIDKey);
    aggregate->name = text(kAudioAggregateDeviceNameKey);
    if (aggregate->uid.empty())
        return kAudio_ParamError;
    if (auto list = description.find(kAudioAggregateDeviceTapListKey); list != description.end()) {
        const CFArray* entries = list->second.array();
        for (const CFPropertyList& entry : entries ? *entries : CFArray{}) {
            const CFDictionary* sub = entry.dictionary();
            auto uid = sub ? sub->find(kAudioSubTapUIDKey) : CFDictionary::const_iterator{};
            const std::string* tapUID = sub && uid != sub->end() ? uid->second.string() : nullptr;
            auto tap = std::find_if(impl_->taps.begin(), impl_->taps.end(),
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
    Impl::Lock lock(impl_->loop);
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
