#pragma once
// What the benchmark watches of the server from a client of its own (the
// tests' PipeWire client): nodes, their states, ports and links.

#include "Support/PipeWireClient.h"

#include <pipewire/node.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace PipeWireClient {

// The server's nodes, ports and links as a client of its own sees them, and
// links it makes. Every wait is bounded (10 s).
class GraphMirror {
public:
    GraphMirror();
    ~GraphMirror();
    GraphMirror(const GraphMirror&) = delete;
    GraphMirror& operator=(const GraphMirror&) = delete;

    bool connected() const { return registry_ != nullptr; }
    pw_core* core() const { return connection_.core; }
    pw_thread_loop* loop() const { return connection_.loop; }

    // Links `fromNode`'s output of `channel` to `toNode`'s input `input` (a
    // channel or a port name), once both ports exist.
    bool link(const std::string& fromNode, const char* channel, const std::string& toNode, const char* input);
    // Waits until the server has a node of that name, or none.
    bool waitForNode(const std::string& name, bool present);
    // Waits until the condition, asked with the mirror's lock held, holds.
    bool waitFor(const std::function<bool(const GraphMirror&)>& condition);

    // With the lock held (inside waitFor): the names of the nodes linked to the
    // outputs of the node named `name`.
    std::vector<std::string> nodesLinkedFrom(const std::string& name) const;
    // With the lock held: the node's state ("running", "idle", "suspended", ...), empty when unknown.
    std::string nodeState(const std::string& name) const;

private:
    struct Port {
        std::uint32_t node = 0;
        bool output = false;
        std::string channel;
        std::string name;
    };
    struct Link {
        std::uint32_t outputNode = 0;
        std::uint32_t inputNode = 0;
    };
    struct Node {
        GraphMirror* mirror = nullptr;
        std::string name;
        std::string state;
        pw_proxy* proxy = nullptr;
        spa_hook hook{};
    };

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    static void onNodeInfo(void* data, const pw_node_info* info);
    std::uint32_t findPort(const std::string& node, bool output, const char* key) const;
    std::uint32_t findNode(const std::string& name) const;
    bool waitLocked(const std::function<bool()>& condition);

    Connection connection_{"graph-mirror"};
    pw_registry* registry_ = nullptr;
    spa_hook registryHook_{};
    std::map<std::uint32_t, Node> nodes_;
    std::map<std::uint32_t, Port> ports_;
    std::map<std::uint32_t, Link> links_;
    std::vector<pw_proxy*> madeLinks_;
};

} // namespace PipeWireClient
