#include "PipeWireDriverInstall.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pipewire {

namespace {

constexpr std::uint64_t kLookIntervalNsec = SPA_NSEC_PER_SEC / 2;

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

DriverInstall::DriverInstall(pw_core* core, pw_loop* loop)
    : core_(core), loop_(loop),
      registry_(newRegistry(core))
{
    followRegistry<onGlobal, onGlobalRemove>(registry_, registryHook_, this);
    timer_ = pw_loop_add_timer(loop_, onTimer, this);
    setLooking(true);
}

void DriverInstall::setLooking(bool looking)
{
    if (!timer_ || looking == looking_)
        return;
    looking_ = looking;
    // A zero interval disarms the timer.
    const std::uint64_t nsec = looking ? kLookIntervalNsec : 0;
    timespec interval{time_t(nsec / SPA_NSEC_PER_SEC), long(nsec % SPA_NSEC_PER_SEC)};
    pw_loop_update_timer(loop_, timer_, &interval, &interval, false);
}

DriverInstall::~DriverInstall()
{
    if (timer_)
        pw_loop_destroy_source(loop_, timer_);
    registryHook_.remove();
}

void DriverInstall::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                             const spa_dict* props) noexcept
{
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
        return;
    const char* name = props ? spa_dict_lookup(props, PW_KEY_NODE_NAME) : nullptr;
    static_cast<DriverInstall*>(data)->nodeNames_[id] = name ? name : "";
}

void DriverInstall::onGlobalRemove(void* data, std::uint32_t id) noexcept
{
    auto* self = static_cast<DriverInstall*>(data);
    const auto node = self->nodeNames_.find(id);
    if (node == self->nodeNames_.end())
        return;
    if (self->described_.count(node->second))
        self->setLooking(true);
    self->nodeNames_.erase(node);
}

void DriverInstall::onTimer(void* data, std::uint64_t) noexcept { static_cast<DriverInstall*>(data)->look(); }

void DriverInstall::look()
{
    std::set<std::string> missing;
    const auto path = installedFragment();
    const auto objects = path ? fragmentObjects(readFile(*path)) : std::vector<FragmentObject>{};
    described_.clear();
    for (const FragmentObject& object : objects) {
        described_.insert(object.nodeName);
        if (object.nodeName.empty()
            || std::any_of(nodeNames_.begin(), nodeNames_.end(), [&](auto& n) { return n.second == object.nodeName; }))
            continue;
        missing.insert(object.nodeName);
        if (!missingBefore_.count(object.nodeName))
            continue;
        // Made once per connection: one that is destroyed again while its
        // fragment stays is not fought over.
        auto& proxy = made_[object.nodeName];
        if (proxy)
            continue;
        PropertiesPtr props{pw_properties_new_string(object.args.c_str())};
        if (!props)
            continue;
        pw_properties_set(props.get(), PW_KEY_OBJECT_LINGER, "true");
        proxy = std::make_unique<Proxy>(static_cast<pw_proxy*>(pw_core_create_object(
            core_, object.factory.c_str(), PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0)));
    }
    // Everything the installed fragment describes is there: nothing to make
    // until one of them goes, so a program that rests does not wake to look.
    setLooking(objects.empty() || !missing.empty());
    missingBefore_ = std::move(missing);
}

} // namespace pipewire
