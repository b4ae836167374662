#pragma once
// The session's "default" and the graph's "settings" metadata as this process
// sees them: the values of subject 0 of each, bound from the registry of one
// connection. Call it with the thread loop's lock held.

#include "PipeWireHandles.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace pipewire {

class MetadataMirror {
public:
    // `changed` runs after every value that arrives.
    MetadataMirror(pw_core* core, pw_registry* registry, std::function<void()> changed);
    ~MetadataMirror();
    MetadataMirror(const MetadataMirror&) = delete;
    MetadataMirror& operator=(const MetadataMirror&) = delete;

    // Registry events: a metadata object came (`props` are its global's) or
    // went; false when `id` is not one this mirror follows.
    void add(std::uint32_t id, const spa_dict* props);
    bool remove(std::uint32_t id);
    // A client left: the exported objects are read afresh (see the source).
    void clientLeft() { refreshWanted_ = true; }
    // Runs what clientLeft() asked for; once per pass of the loop.
    void runDeferred();
    // The round trip that completes a refresh has come back.
    void syncDone(int seq);

    // The value of `key` in the metadata named `name`; empty when none.
    std::string value(const std::string& name, const std::string& key) const;

    struct Metadata;
    struct Binding;

private:
    std::unique_ptr<Binding> bind(Metadata& m, std::uint32_t id);
    void refresh();

    pw_core* core_;
    pw_registry* registry_;
    std::function<void()> changed_;
    std::map<std::uint32_t, std::unique_ptr<Metadata>> objects_;
    int refreshSync_ = -1;
    bool refreshing_ = false;
    bool refreshAgain_ = false;
    bool refreshWanted_ = false;
};

// The "name" of a metadata value such as {"name":"alsa_input.usb-mic"}.
std::string jsonName(const std::string& json);

} // namespace pipewire
