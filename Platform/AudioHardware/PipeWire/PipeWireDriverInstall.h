#pragma once
// Makes the virtual device on the running server when its fragment is
// installed but PipeWire has not loaded it (it reads fragments only when it
// starts): the objects are created from the fragment's own description, as
// Driver/install does, and linger after this process ends, as if PipeWire had
// read the fragment. Looks twice a second while connected, except while
// every object of the installed fragment is on the server (until one of
// them goes). An object absent at two looks in a row is made, so Driver/install,
// which makes them right after copying the fragment, is not doubled. Call
// everything with the thread loop's lock held.

#include "PipeWireDriverFragment.h"
#include "PipeWireHandles.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace pipewire {

class DriverInstall {
public:
    DriverInstall(pw_core* core, pw_loop* loop);
    ~DriverInstall();
    DriverInstall(const DriverInstall&) = delete;
    DriverInstall& operator=(const DriverInstall&) = delete;

    // One look: makes what the installed fragment describes and the server
    // has not had at this look and the one before.
    void look();

private:
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) noexcept;
    static void onGlobalRemove(void* data, std::uint32_t id) noexcept;
    static void onTimer(void* data, std::uint64_t) noexcept;
    void setLooking(bool looking);

    pw_core* core_;
    pw_loop* loop_;
    Proxy registry_;
    Hook registryHook_;
    spa_source* timer_ = nullptr;
    bool looking_ = false;
    std::map<std::uint32_t, std::string> nodeNames_;  // every node of the server, by global id
    std::set<std::string> missingBefore_;             // absent at the previous look
    std::set<std::string> described_;                 // the node names of the fragment, at the last look
    // What this process made, by node name; kept while connected (the
    // objects linger either way).
    std::map<std::string, std::unique_ptr<Proxy>> made_;
};

} // namespace pipewire
