#include "PipeWireGraph.h"
#include "PipeWireLog.h"

#include <pipewire/extensions/metadata.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace pipewire {

namespace {

constexpr double kDefaultGraphRate = 48000.0;
constexpr std::uint32_t kDefaultQuantum = 1024;
// How long a new node may go without the port change that shows the session
// manager has set it up before it is taken as set up all the same (a session
// manager that keeps the ports it found).
constexpr std::chrono::milliseconds kSettleGrace{3000};

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

std::optional<double> parseNumber(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str())
        return std::nullopt;
    return value;
}

// "output_FL" → "FL", "capture_MONO" → "MONO".
std::string channelOfPortName(const std::string& name)
{
    const auto underscore = name.rfind('_');
    return underscore == std::string::npos ? name : name.substr(underscore + 1);
}

} // namespace

std::string lookup(const Properties& properties, std::string_view key)
{
    const auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
}

// ---------------------------------------------------------------------------
// Nodes

bool Node::isDevice() const
{
    const std::string c = mediaClass();
    return c == "Audio/Source" || c == "Audio/Source/Virtual" || c == "Audio/Sink" || c == "Audio/Duplex";
}

std::uint32_t Node::inputChannels() const
{
    const std::string c = mediaClass();
    return c == "Audio/Source" || c == "Audio/Source/Virtual" || c == "Audio/Duplex" ? outputPorts : 0;
}

std::uint32_t Node::outputChannels() const
{
    const std::string c = mediaClass();
    return c == "Audio/Sink" || c == "Audio/Source/Virtual" || c == "Audio/Duplex" ? inputPorts : 0;
}

std::string Node::displayName() const
{
    for (const char* key : {PW_KEY_NODE_DESCRIPTION, PW_KEY_NODE_NICK, PW_KEY_NODE_NAME})
        if (auto value = lookup(props, key); !value.empty())
            return value;
    return {};
}

// ---------------------------------------------------------------------------
// Clients and metadata

struct Graph::Client {
    std::uint64_t serial = 0;
    Properties props;
    std::unique_ptr<Proxy> proxy;
    std::function<void()>* changed = nullptr;
};

namespace {

void onNodeInfo(void* data, const pw_node_info* info) noexcept
{
    auto* node = static_cast<Node*>(data);
    node->hasInfo = true;
    node->inputPorts = info->n_input_ports;
    node->outputPorts = info->n_output_ports;
    mergeProperties(node->props, info->props);
    (*node->changed)();
}

constexpr pw_node_events nodeEvents{
    .version = PW_VERSION_NODE_EVENTS,
    .info = onNodeInfo,
};

void onClientInfo(void* data, const pw_client_info* info) noexcept
{
    auto* client = static_cast<Graph::Client*>(data);
    mergeProperties(client->props, info->props);
    (*client->changed)();
}

constexpr pw_client_events clientEvents{
    .version = PW_VERSION_CLIENT_EVENTS,
    .info = onClientInfo,
};

} // namespace

// ---------------------------------------------------------------------------
// Registry

Graph::Graph(pw_core* core, AudioObjectID& nextObjectID, std::function<void()> changed)
    : core_(core), nextObjectID_(nextObjectID), changed_(std::move(changed)),
      registry_(newRegistry(core)),
      metadata_(core, reinterpret_cast<pw_registry*>(registry_.get()), [this] { changed_(); }),
      loop_(pw_context_get_main_loop(pw_core_get_context(core)))
{
    followRegistry<onGlobal, onGlobalRemove>(registry_, registryHook_, this);
    settleTimer_ = pw_loop_add_timer(loop_, onSettleTimer, this);
    // Everything announced before this round trip was there before us.
    startSync_ = pw_core_sync(core_, PW_ID_CORE, 0);
}

Graph::~Graph()
{
    registryHook_.remove();
    if (settleTimer_)
        pw_loop_destroy_source(loop_, settleTimer_);
    // Bindings before the registry they came from.
    clients_.clear();
    nodes_.clear();
}

void Graph::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                     const spa_dict* props) noexcept
{
    static_cast<Graph*>(data)->addGlobal(id, type, props);
}

void Graph::onGlobalRemove(void* data, std::uint32_t id) noexcept { static_cast<Graph*>(data)->removeGlobal(id); }

void Graph::addGlobal(std::uint32_t id, const char* type, const spa_dict* props)
{
    auto* registry = reinterpret_cast<pw_registry*>(registry_.get());
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        auto node = std::make_unique<Node>();
        node->globalID = id;
        node->changed = &changed_;
        mergeProperties(node->props, props);
        // Devices and application streams are what the calls ask about.
        if (!node->isDevice() && !node->isApplicationStream())
            return;
        if (node->isDevice()) {
            node->objectID = nextObjectID_++;
            node->inputStreamID = nextObjectID_++;
            node->outputStreamID = nextObjectID_++;
        }
        node->serial = std::uint64_t(parseNumber(lookup(node->props, PW_KEY_OBJECT_SERIAL)).value_or(0));
        // The session manager sets up the format and ports of every audio
        // node it does not simply link: devices, and streams that ask not
        // to be linked or remixed.
        node->needsSetup = node->isDevice() || lookup(node->props, PW_KEY_NODE_AUTOCONNECT) != "true"
                        || lookup(node->props, PW_KEY_STREAM_DONT_REMIX) == "true";
        node->preexisting = !started_;
        node->seen = std::chrono::steady_clock::now();
        node->proxy = std::make_unique<Proxy>(
            static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, PW_VERSION_NODE, 0)));
        node->proxy->listenToObject(&nodeEvents, node.get());
        qCDebug(lcPipeWire) << "node" << id << node->name().c_str() << node->mediaClass().c_str();
        nodes_[id] = std::move(node);
        armSettleTimer();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Properties p;
        mergeProperties(p, props);
        Port port;
        port.nodeGlobalID = std::uint32_t(parseNumber(lookup(p, PW_KEY_NODE_ID)).value_or(0));
        port.serial = std::uint64_t(parseNumber(lookup(p, PW_KEY_OBJECT_SERIAL)).value_or(0));
        port.index = std::uint32_t(parseNumber(lookup(p, PW_KEY_PORT_ID)).value_or(0));
        port.isOutput = lookup(p, PW_KEY_PORT_DIRECTION) == "out";
        port.isMonitor = lookup(p, PW_KEY_PORT_MONITOR) == "true";
        port.name = lookup(p, PW_KEY_PORT_NAME);
        port.channel = lookup(p, PW_KEY_AUDIO_CHANNEL);
        if (port.channel.empty())
            port.channel = channelOfPortName(port.name);
        if (auto node = nodes_.find(port.nodeGlobalID);
            node != nodes_.end() && node->second->portsRemoved && !node->second->portsRemade) {
            node->second->portsRemade = true;
            qCDebug(lcPipeWire) << "node" << node->first << "set up by the session manager";
        }
        ports_[id] = std::move(port);
        changed_();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        auto client = std::make_unique<Client>();
        client->changed = &changed_;
        mergeProperties(client->props, props);
        client->serial = std::uint64_t(parseNumber(lookup(client->props, PW_KEY_OBJECT_SERIAL)).value_or(0));
        client->proxy = std::make_unique<Proxy>(
            static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, PW_VERSION_CLIENT, 0)));
        client->proxy->listenToObject(&clientEvents, client.get());
        clients_[id] = std::move(client);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        metadata_.add(id, props);
    }
}

void Graph::removeGlobal(std::uint32_t id)
{
    if (auto port = ports_.find(id); port != ports_.end()) {
        if (auto node = nodes_.find(port->second.nodeGlobalID); node != nodes_.end())
            node->second->portsRemoved = true;
        ports_.erase(port);
        changed_();
    } else if (nodes_.erase(id) || metadata_.remove(id)) {
        changed_();
    } else if (clients_.erase(id)) {
        metadata_.clientLeft();
        changed_();
    }
}

void Graph::syncDone(int seq)
{
    if (seq == startSync_ && !started_) {
        started_ = true;
        changed_();
    }
    metadata_.syncDone(seq);
}

// ---------------------------------------------------------------------------
// Whether the session manager is done with a node
//
// WirePlumber (0.4) sets up each audio device node, and each stream that is
// not simply to be linked, when it appears: it sets the node's Format and
// PortConfig, and counts the node ready ("activated") only once the node's
// ports change in answer. PipeWire's adapter refuses both while the node
// runs ("was started", -EIO), so a node that a link has set running before
// then never changes its ports: its item is never activated, and from then
// on the session manager's policy links nothing at all for any application
// ("pending linkable not ready"). So this process links a node only once
// the session manager is done with it:
// - a node it does not set up (a stream it links itself) at once;
// - a node that comes without ports (a stream, a sound card's node) once it
//   has ports: they are the answer to the session manager's PortConfig;
// - a node that makes its ports itself (adapter.auto-port-config: a virtual
//   device from a configuration fragment or `pw-cli create-node`) once its
//   ports have been removed and made again, the answer to that PortConfig;
//   if it was there before this connection, once the session manager was
//   there before the node (it set the node up as it came) or the ports are
//   younger than the session manager (made by its PortConfig);
// - without a session manager, at once: nothing will set it up;
// - and whatever happened, after a grace period, should a session manager
//   keep the ports it found.

const Graph::Client* Graph::sessionManager() const
{
    const Client* oldest = nullptr;
    for (const auto& [id, client] : clients_) {
        const std::string name = lookup(client->props, PW_KEY_APP_NAME);
        if (name.rfind("WirePlumber", 0) != 0 && name != "pipewire-media-session")
            continue;
        if (!oldest || client->serial < oldest->serial)
            oldest = client.get();
    }
    return oldest;
}

bool Graph::settled(const Node& node) const
{
    if (!node.needsSetup || node.portsRemade)
        return true;
    if (!node.hasInfo)
        return false;
    bool hasPorts = false, portsOlderThanManager = false;
    const Client* manager = sessionManager();
    for (const auto& [id, port] : ports_) {
        if (port.nodeGlobalID != node.globalID)
            continue;
        hasPorts = true;
        portsOlderThanManager = portsOlderThanManager || (manager && port.serial < manager->serial);
    }
    if (lookup(node.props, "adapter.auto-port-config").empty())
        return hasPorts;
    if (!manager || std::chrono::steady_clock::now() - node.seen >= kSettleGrace)
        return true;
    return node.preexisting && (manager->serial < node.serial || (hasPorts && !portsOlderThanManager));
}

void Graph::armSettleTimer()
{
    if (!settleTimer_)
        return;
    const auto now = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::duration> next;
    for (const auto& [id, node] : nodes_) {
        if (!node->needsSetup || node->portsRemade || lookup(node->props, "adapter.auto-port-config").empty())
            continue;
        const auto left = node->seen + kSettleGrace - now;
        if (left > std::chrono::steady_clock::duration::zero() && (!next || left < *next))
            next = left;
    }
    if (!next)
        return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*next).count() + 1;
    timespec value{};
    value.tv_sec = ns / 1000000000;
    value.tv_nsec = long(ns % 1000000000);
    pw_loop_update_timer(loop_, settleTimer_, &value, nullptr, false);
}

void Graph::onSettleTimer(void* data, std::uint64_t) noexcept
{
    auto* self = static_cast<Graph*>(data);
    self->changed_();
    self->armSettleTimer();
}

// ---------------------------------------------------------------------------
// Lookups

const Node* Graph::nodeByObject(AudioObjectID id) const
{
    for (const auto& [global, node] : nodes_)
        if (node->objectID == id && node->isListed())
            return node.get();
    return nullptr;
}

const Node* Graph::nodeByStream(AudioObjectID streamID) const
{
    for (const auto& [global, node] : nodes_) {
        if (!node->isListed())
            continue;
        if ((node->inputStreamID == streamID && node->inputChannels())
            || (node->outputStreamID == streamID && node->outputChannels()))
            return node.get();
    }
    return nullptr;
}

const Node* Graph::listedNodeNamed(const std::string& name) const
{
    if (name.empty())
        return nullptr;
    for (const auto& [global, node] : nodes_)
        if (node->isListed() && node->name() == name)
            return node.get();
    return nullptr;
}

std::vector<AudioObjectID> Graph::deviceIDs() const
{
    std::vector<AudioObjectID> ids;
    for (const auto& [global, node] : nodes_)
        if (node->isListed())
            ids.push_back(node->objectID);
    std::sort(ids.begin(), ids.end());
    return ids;
}

AudioObjectID Graph::defaultDevice(const char* key) const
{
    // The session may name a sink as the default source (meaning its
    // monitor); a default input is a device that captures, so that is none.
    const bool input = std::strcmp(key, "default.audio.source") == 0;
    const Node* node = listedNodeNamed(jsonName(metadata_.value("default", key)));
    if (!node || (input ? node->inputChannels() : node->outputChannels()) == 0)
        return kAudioObjectUnknown;
    return node->objectID;
}

double Graph::rate() const
{
    if (auto forced = parseNumber(metadata_.value("settings", "clock.force-rate")); forced && *forced > 0)
        return *forced;
    if (auto rate = parseNumber(metadata_.value("settings", "clock.rate")); rate && *rate > 0)
        return *rate;
    return kDefaultGraphRate;
}

std::uint32_t Graph::quantum() const
{
    if (auto forced = parseNumber(metadata_.value("settings", "clock.force-quantum")); forced && *forced > 0)
        return std::uint32_t(*forced);
    if (auto quantum = parseNumber(metadata_.value("settings", "clock.quantum")); quantum && *quantum > 0)
        return std::uint32_t(*quantum);
    return kDefaultQuantum;
}

bool Graph::followsApplication(const Node& node, const std::vector<std::string>& bundleIDs) const
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
    const auto clientID = parseNumber(lookup(node.props, PW_KEY_CLIENT_ID));
    if (!clientID)
        return false;
    const auto client = clients_.find(std::uint32_t(*clientID));
    return client != clients_.end() && matches(client->second->props);
}

} // namespace pipewire
