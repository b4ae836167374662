#include "PipeWireMetadata.h"

#include <pipewire/extensions/metadata.h>
#include <spa/utils/json.h>

#include <cstring>

namespace pipewire {

namespace {

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

} // namespace

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

// One binding of a metadata object and the values (subject 0) it brought.
struct MetadataMirror::Binding {
    Metadata* owner = nullptr;
    std::unique_ptr<Proxy> proxy;
    std::map<std::string, std::string> values;
};

struct MetadataMirror::Metadata {
    std::function<void()>* changed = nullptr;
    std::string name;
    // Exported by a client (the session manager) rather than kept by the
    // server itself: only those can lose changes, see refresh().
    bool exported = false;
    std::unique_ptr<Binding> current;
    // A second binding made to read the object afresh; it replaces
    // `current` once its values are complete.
    std::unique_ptr<Binding> fresh;
};

namespace {

int onProperty(void* data, std::uint32_t subject, const char* key, const char*, const char* value) noexcept
{
    auto* binding = static_cast<MetadataMirror::Binding*>(data);
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

constexpr pw_metadata_events events{
    .version = PW_VERSION_METADATA_EVENTS,
    .property = onProperty,
};

} // namespace

MetadataMirror::MetadataMirror(pw_core* core, pw_registry* registry, std::function<void()> changed)
    : core_(core), registry_(registry), changed_(std::move(changed))
{
}

MetadataMirror::~MetadataMirror() = default;

void MetadataMirror::add(std::uint32_t id, const spa_dict* props)
{
    // "default" holds the session's default devices, "settings" the graph's
    // clock.
    const char* name = props ? spa_dict_lookup(props, PW_KEY_METADATA_NAME) : nullptr;
    if (!name || (std::strcmp(name, "default") != 0 && std::strcmp(name, "settings") != 0))
        return;
    auto m = std::make_unique<Metadata>();
    m->changed = &changed_;
    m->name = name;
    m->exported = spa_dict_lookup(props, PW_KEY_CLIENT_ID) != nullptr;
    m->current = bind(*m, id);
    objects_[id] = std::move(m);
}

bool MetadataMirror::remove(std::uint32_t id) { return objects_.erase(id) != 0; }

std::unique_ptr<MetadataMirror::Binding> MetadataMirror::bind(Metadata& m, std::uint32_t id)
{
    auto binding = std::make_unique<Binding>();
    binding->owner = &m;
    binding->proxy = std::make_unique<Proxy>(
        static_cast<pw_proxy*>(pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0)));
    binding->proxy->listenToObject(&events, binding.get());
    return binding;
}

void MetadataMirror::runDeferred()
{
    if (std::exchange(refreshWanted_, false))
        refresh();
}

// PipeWire 0.3.65 passes a change to a metadata object that a client exports
// (the session manager's "default") only to the clients still binding that
// object, whenever any client is: a default device chosen while some tool
// (pw-metadata, wpctl) binds it is never told to clients that were already
// listening, and a tool that leaves before its binding is answered leaves
// them without any later change. A fresh binding is always sent every value,
// so the exported objects are bound afresh after clients leave, which is
// when a tool that may have caused such a gap is done: once per pass of the
// loop however many left. Refreshes do not overlap: one asked for during
// another follows it.
void MetadataMirror::refresh()
{
    if (refreshing_) {
        refreshAgain_ = true;
        return;
    }
    bool any = false;
    for (auto& [id, m] : objects_) {
        if (!m->exported)
            continue;
        m->fresh = bind(*m, id);
        any = true;
    }
    if (!any)
        return;
    refreshSync_ = pw_core_sync(core_, PW_ID_CORE, refreshSync_);
    refreshing_ = refreshSync_ >= 0;
    if (!refreshing_)
        for (auto& [id, m] : objects_)
            m->fresh.reset();
}

void MetadataMirror::syncDone(int seq)
{
    if (!refreshing_ || seq != refreshSync_)
        return;
    // The round trip after the fresh bindings is done: they have every value.
    refreshing_ = false;
    for (auto& [id, m] : objects_)
        if (m->fresh)
            m->current = std::move(m->fresh);
    changed_();
    if (std::exchange(refreshAgain_, false))
        refresh();
}

std::string MetadataMirror::value(const std::string& name, const std::string& key) const
{
    for (const auto& [id, m] : objects_) {
        if (m->name != name || !m->current)
            continue;
        if (auto value = m->current->values.find(key); value != m->current->values.end())
            return value->second;
    }
    return {};
}

} // namespace pipewire
