#pragma once
// The virtual device's configuration fragment as installed for PipeWire, and
// the objects it describes. PipeWire makes them when it starts; a fragment
// installed while it runs (a package, or Driver/install without a server)
// waits for its next start, so the program makes them itself from the
// fragment's own description (see DriverInstall).

#include <optional>
#include <string>
#include <vector>

namespace pipewire {

struct FragmentObject {
    std::string factory;   // "adapter", "spa-node-factory", ...
    std::string args;      // the object's properties, SPA JSON as written
    std::string nodeName;  // its node.name; empty when it has none
};

// The fragment's file name.
inline constexpr const char* kDriverFragmentName = "velmora-studio-connect.conf";

// Where PipeWire reads `name` from: PIPEWIRE_CONFIG_DIR/pipewire.conf.d when
// that is set (then only there), else the user's folder
// ($XDG_CONFIG_HOME or ~/.config)/pipewire/pipewire.conf.d, then
// /etc/pipewire/pipewire.conf.d, then /usr/share/pipewire/pipewire.conf.d.
// The first readable one; none when it is installed nowhere.
std::optional<std::string> installedFragment(const char* name = kDriverFragmentName);

// The objects of the fragment's context.objects, in order. Objects without a
// factory or args are left out; text that is not a fragment gives none.
std::vector<FragmentObject> fragmentObjects(const std::string& text);

} // namespace pipewire
