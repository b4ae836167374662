#include "PipeWireGraph.h"

#include <pipewire/extensions/metadata.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace pipewire {

namespace {

constexpr double kDefaultGraphRate = 48000.0;
constexpr std::uint32_t kDefaultQuantum = 1024;

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

// The next JSON string of `iterator`, whatever its length; false at the end
// or on something that is not a string.
bool nextString(spa_json& iterator, std::string& out)
{
    const char* value = nullptr;
    const int length = spa_json_next(&iterator, &value);
    if (length <= 0 || !spa_json_is_string(value, length))
        return false;
    out.assign(std::size_t(length) + 1, '\0');
    if (spa_json_parse_stringn(value, length, out.data(), length + 1) < 0)
        return false;
    out.resize(std::strlen(out.c_str()));
    return true;
}

// The "name" of a metadata value such as {"name":"alsa_input.usb-mic"}.
std::string jsonName(const std::string& json)
{
    spa_json outer, object;
    spa_json_init(&outer, json.c_str(), json.size());
    if (spa_json_enter_object(&outer, &object) <= 0)
        return {};
    std::string key, value;
    while (nextString(object, key)) {
        if (key == "name")
            return nextString(object, value) ? value : std::string();
        const char* skipped = nullptr;
        if (spa_json_next(&object, &skipped) <= 0)
            break;
    }
    return {};
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
    Properties props;
    std::unique_ptr<Proxy> proxy;
    std::function<void()>* changed = nullptr;
};

// One binding of a metadata object and the values (subject 0) it brought.
struct Graph::MetadataBinding {
    Metadata* owner = nullptr;
    std::unique_ptr<Proxy> proxy;
    std::map<std::string, std::string> values;
};

struct Graph::Metadata {
    std::function<void()>* changed = nullptr;
    std::string name;
    // Exported by a client (the session manager) rather than kept by the
    // server itself: only those can lose changes, see refreshMetadata().
    bool exported = false;
    std::unique_ptr<MetadataBinding> current;
    // A second binding made to read the object afresh; it replaces
    // `current` once its values are complete.
    std::unique_ptr<MetadataBinding> fresh;
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

int onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*, const char* value) noexcept
{
    auto* binding = static_cast<Graph::MetadataBinding*>(data);
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
        (*binding->owner->changed)();
    return 0;
}

constexpr pw_metadata_events metadataEvents{
    .version = PW_VERSION_METADATA_EVENTS,
    .property = onMetadataProperty,
};

} // namespace

// ---------------------------------------------------------------------------
// Registry

Graph::Graph(pw_core* core, AudioObjectID& nextObjectID, std::function<void()> changed)
    : core_(core), nextObjectID_(nextObjectID), changed_(std::move(changed)),
      registry_(reinterpret_cast<pw_proxy*>(pw_core_get_registry(core, PW_VERSION_REGISTRY, 0)))
{
    static constexpr pw_registry_events events{
        .version = PW_VERSION_REGISTRY_EVENTS,
        .global = onGlobal,
        .global_remove = onGlobalRemove,
    };
    if (registry_)
        pw_registry_add_listener(reinterpret_cast<pw_registry*>(registry_.get()), registryHook_.get(), &events, this);
}

Graph::~Graph()
{
    registryHook_.remove();
    // Bindings before the registry they came from.
    metadata_.clear();
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
        node->proxy = std::make_unique<Proxy>(
            static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, PW_VERSION_NODE, 0)));
        node->proxy->listenToObject(&nodeEvents, node.get());
        nodes_[id] = std::move(node);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Properties p;
        mergeProperties(p, props);
        Port port;
        port.nodeGlobalID = std::uint32_t(parseNumber(lookup(p, PW_KEY_NODE_ID)).value_or(0));
        port.index = std::uint32_t(parseNumber(lookup(p, PW_KEY_PORT_ID)).value_or(0));
        port.isOutput = lookup(p, PW_KEY_PORT_DIRECTION) == "out";
        port.isMonitor = lookup(p, PW_KEY_PORT_MONITOR) == "true";
        port.name = lookup(p, PW_KEY_PORT_NAME);
        port.channel = lookup(p, PW_KEY_AUDIO_CHANNEL);
        if (port.channel.empty())
            port.channel = channelOfPortName(port.name);
        ports_[id] = std::move(port);
        changed_();
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        auto client = std::make_unique<Client>();
        client->changed = &changed_;
        mergeProperties(client->props, props);
        client->proxy = std::make_unique<Proxy>(
            static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, PW_VERSION_CLIENT, 0)));
        client->proxy->listenToObject(&clientEvents, client.get());
        clients_[id] = std::move(client);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        Properties p;
        mergeProperties(p, props);
        // "default" holds the session's default devices, "settings" the
        // graph's clock.
        const std::string name = lookup(p, PW_KEY_METADATA_NAME);
        if (name != "default" && name != "settings")
            return;
        auto m = std::make_unique<Metadata>();
        m->changed = &changed_;
        m->name = name;
        m->exported = !lookup(p, PW_KEY_CLIENT_ID).empty();
        m->current = bindMetadata(*m, id);
        metadata_[id] = std::move(m);
    }
}

void Graph::removeGlobal(std::uint32_t id)
{
    if (nodes_.erase(id) || ports_.erase(id) || metadata_.erase(id)) {
        changed_();
    } else if (clients_.erase(id)) {
        refreshMetadata();
        changed_();
    }
}

std::unique_ptr<Graph::MetadataBinding> Graph::bindMetadata(Metadata& m, std::uint32_t id)
{
    auto binding = std::make_unique<MetadataBinding>();
    binding->owner = &m;
    binding->proxy = std::make_unique<Proxy>(static_cast<pw_proxy*>(pw_registry_bind(
        reinterpret_cast<pw_registry*>(registry_.get()), id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0)));
    binding->proxy->listenToObject(&metadataEvents, binding.get());
    return binding;
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
void Graph::refreshMetadata()
{
    if (refreshing_) {
        refreshAgain_ = true;
        return;
    }
    bool any = false;
    for (auto& [id, m] : metadata_) {
        if (!m->exported)
            continue;
        m->fresh = bindMetadata(*m, id);
        any = true;
    }
    if (!any)
        return;
    refreshSync_ = pw_core_sync(core_, PW_ID_CORE, refreshSync_);
    refreshing_ = refreshSync_ >= 0;
    if (!refreshing_)
        for (auto& [id, m] : metadata_)
            m->fresh.reset();
}

void Graph::syncDone(int seq)
{
    if (!refreshing_ || seq != refreshSync_)
        return;
    // The round trip after the fresh bindings is done: they have every value.
    refreshing_ = false;
    for (auto& [id, m] : metadata_)
        if (m->fresh)
            m->current = std::move(m->fresh);
    changed_();
    if (refreshAgain_) {
        refreshAgain_ = false;
        refreshMetadata();
    }
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
    const Node* node = listedNodeNamed(jsonName(metadataValue("default", key)));
    if (!node || (input ? node->inputChannels() : node->outputChannels()) == 0)
        return kAudioObjectUnknown;
    return node->objectID;
}

std::string Graph::metadataValue(const std::string& name, const std::string& key) const
{
    for (const auto& [id, m] : metadata_) {
        if (m->name != name || !m->current)
            continue;
        if (auto value = m->current->values.find(key); value != m->current->values.end())
            return value->second;
    }
    return {};
}

double Graph::rate() const
{
    if (auto forced = parseNumber(metadataValue("settings", "clock.force-rate")); forced && *forced > 0)
        return *forced;
    if (auto rate = parseNumber(metadataValue("settings", "clock.rate")); rate && *rate > 0)
        return *rate;
    return kDefaultGraphRate;
}

std::uint32_t Graph::quantum() const
{
    if (auto forced = parseNumber(metadataValue("settings", "clock.force-quantum")); forced && *forced > 0)
        return std::uint32_t(*forced);
    if (auto quantum = parseNumber(metadataValue("settings", "clock.quantum")); quantum && *quantum > 0)
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
