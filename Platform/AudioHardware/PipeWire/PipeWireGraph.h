#pragma once
// The server's graph as this process sees it: the audio device nodes and
// application streams, their ports, the clients, and the session's
// "default" and graph "settings" metadata (PipeWireMetadata.h), mirrored
// from the registry of one connection, and which nodes the session manager
// has finished setting up. Lives as long as that connection; call it with
// the thread loop's lock held.

#include "AudioHardware/CoreAudioTypes.h"
#include "PipeWireHandles.h"
#include "PipeWireMetadata.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pipewire {

using Properties = std::map<std::string, std::string, std::less<>>;
std::string lookup(const Properties& properties, std::string_view key);

struct Node {
    std::uint32_t globalID = 0;
    std::uint64_t serial = 0;  // object.serial: never given to another object
    AudioObjectID objectID = 0;  // devices only
    AudioObjectID inputStreamID = 0;
    AudioObjectID outputStreamID = 0;
    Properties props;
    std::unique_ptr<Proxy> proxy;
    bool hasInfo = false;
    std::uint32_t inputPorts = 0;
    std::uint32_t outputPorts = 0;
    std::function<void()>* changed = nullptr;
    // What tells whether the session manager is done with it (see settled()).
    bool needsSetup = false;
    bool preexisting = false;  // there before this connection
    bool portsRemoved = false;
    bool portsRemade = false;
    std::chrono::steady_clock::time_point seen;

    std::string mediaClass() const { return lookup(props, PW_KEY_MEDIA_CLASS); }
    std::string name() const { return lookup(props, PW_KEY_NODE_NAME); }
    bool isDevice() const;
    bool isListed() const { return objectID != 0 && hasInfo; }
    bool isApplicationStream() const { return mediaClass() == "Stream/Output/Audio"; }
    // A source's capture ports are its outputs (a virtual source marks them
    // as monitor ports); a sink's monitor outputs are not a microphone.
    std::uint32_t inputChannels() const;
    std::uint32_t outputChannels() const;
    std::string displayName() const;
};

struct Port {
    std::uint32_t nodeGlobalID = 0;
    std::uint64_t serial = 0;
    std::uint32_t index = 0;  // port.id: the order within its node
    bool isOutput = false;
    bool isMonitor = false;
    std::string channel;
    std::string name;
};

class Graph {
public:
    // `changed` runs after every change the registry or metadata brings (and
    // when a node becomes settled by time); `nextObjectID` numbers devices
    // across connections, so an id is never given to another device.
    Graph(pw_core* core, AudioObjectID& nextObjectID, std::function<void()> changed);
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    const std::map<std::uint32_t, std::unique_ptr<Node>>& nodes() const { return nodes_; }
    const std::map<std::uint32_t, Port>& ports() const { return ports_; }

    const Node* nodeByObject(AudioObjectID id) const;
    const Node* nodeByStream(AudioObjectID streamID) const;
    const Node* listedNodeNamed(const std::string& name) const;
    std::vector<AudioObjectID> deviceIDs() const;
    // "default.audio.source" or "default.audio.sink"; unknown when none.
    AudioObjectID defaultDevice(const char* key) const;
    double rate() const;
    std::uint32_t quantum() const;
    // Whether an application stream plays for one of `bundleIDs` (its
    // application.id or portal app id, on the node or its client).
    bool followsApplication(const Node& node, const std::vector<std::string>& bundleIDs) const;

    // Whether the session manager has finished setting up `node`, so that a
    // link to it cannot get in the way (see the source).
    bool settled(const Node& node) const;

    // The work that registry events only mark, once per pass of the loop.
    void runDeferred() { metadata_.runDeferred(); }
    // A round trip has come back.
    void syncDone(int seq);

    struct Client;

private:
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) noexcept;
    static void onGlobalRemove(void* data, std::uint32_t id) noexcept;
    void addGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void removeGlobal(std::uint32_t id);
    const Client* sessionManager() const;
    static void onSettleTimer(void* data, std::uint64_t) noexcept;
    void armSettleTimer();

    pw_core* core_;
    AudioObjectID& nextObjectID_;
    std::function<void()> changed_;
    Proxy registry_;
    Hook registryHook_;
    std::map<std::uint32_t, std::unique_ptr<Node>> nodes_;  // by global id
    std::map<std::uint32_t, Port> ports_;                    // by global id
    std::map<std::uint32_t, std::unique_ptr<Client>> clients_;
    MetadataMirror metadata_;
    pw_loop* loop_;
    spa_source* settleTimer_ = nullptr;
    int startSync_ = -1;
    bool started_ = false;  // the globals there before this connection are in
};

} // namespace pipewire
