#include "PipeWireIdle.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pipewire {

RecorderWatch::RecorderWatch(pw_core* core, std::function<void()> changed)
    : changed_(std::move(changed)),
      registry_(newRegistry(core))
{
    followRegistry<onGlobal, onGlobalRemove>(registry_, registryHook_, this);
}

RecorderWatch::~RecorderWatch() { registryHook_.remove(); }

void RecorderWatch::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                             const spa_dict* props) noexcept
{
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0 || !props)
        return;
    auto node = [&](const char* key) {
        const char* value = spa_dict_lookup(props, key);
        return value ? std::uint32_t(std::strtoul(value, nullptr, 10)) : SPA_ID_INVALID;
    };
    auto* self = static_cast<RecorderWatch*>(data);
    self->links_[id] = {node(PW_KEY_LINK_OUTPUT_NODE), node(PW_KEY_LINK_INPUT_NODE)};
    self->changed_();
}

void RecorderWatch::onGlobalRemove(void* data, std::uint32_t id) noexcept
{
    auto* self = static_cast<RecorderWatch*>(data);
    if (self->links_.erase(id))
        self->changed_();
}

bool RecorderWatch::isRecorded(const std::vector<std::uint32_t>& devices, std::uint32_t self) const
{
    return std::any_of(links_.begin(), links_.end(), [&](const auto& entry) {
        const Link& link = entry.second;
        return link.inputNode != self && std::find(devices.begin(), devices.end(), link.outputNode) != devices.end();
    });
}

} // namespace pipewire
