#include "GraphMirror.h"

#include <cstring>

namespace PipeWireClient {

void GraphMirror::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                           const spa_dict* props)
{
    auto* g = static_cast<GraphMirror*>(data);
    auto text = [&](const char* key) {
        const char* value = props ? spa_dict_lookup(props, key) : nullptr;
        return std::string(value ? value : "");
    };
    auto number = [&](const char* key) { return std::uint32_t(std::strtoul(text(key).c_str(), nullptr, 10)); };
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        static const pw_node_events nodeEvents = [] {
            pw_node_events e{};
            e.version = PW_VERSION_NODE_EVENTS;
            e.info = onNodeInfo;
            return e;
        }();
        Node& node = g->nodes_[id];
        node.mirror = g;
        node.name = text(PW_KEY_NODE_NAME);
        // Bound for its state, which only the node's info carries.
        node.proxy = static_cast<pw_proxy*>(pw_registry_bind(g->registry_, id, type, PW_VERSION_NODE, 0));
        if (node.proxy)
            pw_proxy_add_object_listener(node.proxy, &node.hook, &nodeEvents, &node);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        g->ports_[id] = {number(PW_KEY_NODE_ID), text(PW_KEY_PORT_DIRECTION) == "out", text(PW_KEY_AUDIO_CHANNEL),
                         text(PW_KEY_PORT_NAME)};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        g->links_[id] = {number(PW_KEY_LINK_OUTPUT_NODE), number(PW_KEY_LINK_INPUT_NODE)};
    }
    pw_thread_loop_signal(g->connection_.loop, false);
}

void GraphMirror::onNodeInfo(void* data, const pw_node_info* info)
{
    auto* node = static_cast<Node*>(data);
    if (info && (info->change_mask & PW_NODE_CHANGE_MASK_STATE)) {
        node->state = pw_node_state_as_string(info->state);
        pw_thread_loop_signal(node->mirror->connection_.loop, false);
    }
}

void GraphMirror::onGlobalRemove(void* data, std::uint32_t id)
{
    auto* g = static_cast<GraphMirror*>(data);
    if (auto node = g->nodes_.find(id); node != g->nodes_.end()) {
        if (node->second.proxy) {
            spa_hook_remove(&node->second.hook);
            pw_proxy_destroy(node->second.proxy);
        }
        g->nodes_.erase(node);
    }
    g->ports_.erase(id);
    g->links_.erase(id);
    pw_thread_loop_signal(g->connection_.loop, false);
}

GraphMirror::GraphMirror()
{
    static const pw_registry_events events = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = onGlobal;
        e.global_remove = onGlobalRemove;
        return e;
    }();
    pw_thread_loop_lock(connection_.loop);
    if (connection_.core) {
        registry_ = pw_core_get_registry(connection_.core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(registry_, &registryHook_, &events, this);
    }
    pw_thread_loop_unlock(connection_.loop);
}

GraphMirror::~GraphMirror()
{
    pw_thread_loop_lock(connection_.loop);
    for (pw_proxy* link : madeLinks_)
        pw_proxy_destroy(link);
    for (auto& [id, node] : nodes_)
        if (node.proxy) {
            spa_hook_remove(&node.hook);
            pw_proxy_destroy(node.proxy);
        }
    if (registry_) {
        spa_hook_remove(&registryHook_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    pw_thread_loop_unlock(connection_.loop);
}

bool GraphMirror::waitLocked(const std::function<bool()>& condition)
{
    timespec deadline{};
    pw_thread_loop_get_time(connection_.loop, &deadline, 10 * SPA_NSEC_PER_SEC);
    while (!condition())
        if (pw_thread_loop_timed_wait_full(connection_.loop, &deadline) != 0)
            return condition();
    return true;
}

bool GraphMirror::waitFor(const std::function<bool(const GraphMirror&)>& condition)
{
    pw_thread_loop_lock(connection_.loop);
    const bool reached = waitLocked([&] { return condition(*this); });
    pw_thread_loop_unlock(connection_.loop);
    return reached;
}

std::uint32_t GraphMirror::findNode(const std::string& name) const
{
    for (const auto& [id, node] : nodes_)
        if (node.name == name)
            return id;
    return 0;
}

std::uint32_t GraphMirror::findPort(const std::string& node, bool output, const char* key) const
{
    const std::uint32_t nodeID = findNode(node);
    if (!nodeID)
        return 0;
    for (const auto& [id, port] : ports_)
        if (port.node == nodeID && port.output == output && (port.channel == key || port.name == key))
            return id;
    return 0;
}

std::vector<std::string> GraphMirror::nodesLinkedFrom(const std::string& name) const
{
    std::vector<std::string> names;
    const std::uint32_t from = findNode(name);
    for (const auto& [id, link] : links_)
        if (from && link.outputNode == from)
            if (auto node = nodes_.find(link.inputNode); node != nodes_.end())
                names.push_back(node->second.name);
    return names;
}

std::string GraphMirror::nodeState(const std::string& name) const
{
    const auto node = nodes_.find(findNode(name));
    return node == nodes_.end() ? std::string() : node->second.state;
}

bool GraphMirror::waitForNode(const std::string& name, bool present)
{
    return waitFor([&](const GraphMirror& g) { return (g.findNode(name) != 0) == present; });
}

bool GraphMirror::link(const std::string& fromNode, const char* channel, const std::string& toNode,
                       const char* input)
{
    pw_thread_loop_lock(connection_.loop);
    std::uint32_t out = 0, in = 0;
    const bool found = registry_ && waitLocked([&] {
        out = findPort(fromNode, true, channel);
        in = findPort(toNode, false, input);
        return out && in;
    });
    if (found) {
        pw_properties* props = pw_properties_new(nullptr, nullptr);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", findNode(fromNode));
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", out);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", findNode(toNode));
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", in);
        pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
        madeLinks_.push_back(static_cast<pw_proxy*>(pw_core_create_object(
            connection_.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0)));
        pw_properties_free(props);
    }
    pw_thread_loop_unlock(connection_.loop);
    return found;
}

} // namespace PipeWireClient
