#include "PipeWireDriverFragment.h"

#include "PipeWireHandles.h"

#include <pipewire/properties.h>
#include <spa/utils/json.h>

#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace pipewire {

namespace {

// The next value of `it`: its text whole (a container with everything in
// it), or nothing at the end.
std::optional<std::string> nextValue(spa_json& it)
{
    const char* value = nullptr;
    int length = spa_json_next(&it, &value);
    if (length <= 0)
        return std::nullopt;
    if (spa_json_is_container(value, length))
        length = spa_json_container_len(&it, value, length);
    return std::string(value, std::size_t(length));
}

std::string unquoted(const std::string& text)
{
    if (!spa_json_is_string(text.c_str(), int(text.size())))
        return text;
    std::string out(text.size() + 1, '\0');
    if (spa_json_parse_stringn(text.c_str(), int(text.size()), out.data(), int(out.size())) < 0)
        return {};
    out.resize(std::strlen(out.c_str()));
    return out;
}

FragmentObject objectFrom(const std::string& text)
{
    FragmentObject object;
    spa_json outer, it;
    spa_json_init(&outer, text.c_str(), text.size());
    if (spa_json_enter_object(&outer, &it) <= 0)
        return object;
    while (auto key = nextValue(it)) {
        auto value = nextValue(it);
        if (!value)
            break;
        if (unquoted(*key) == "factory")
            object.factory = unquoted(*value);
        else if (unquoted(*key) == "args" && spa_json_is_object(value->c_str(), int(value->size())))
            object.args = *value;
    }
    if (PropertiesPtr props{pw_properties_new_string(object.args.c_str())})
        if (const char* name = pw_properties_get(props.get(), "node.name"))
            object.nodeName = name;
    return object;
}

} // namespace

std::optional<std::string> installedFragment(const char* name)
{
    std::vector<std::string> folders;
    if (const char* dir = std::getenv("PIPEWIRE_CONFIG_DIR"); dir && *dir) {
        folders.push_back(std::string(dir) + "/pipewire.conf.d");
    } else {
        if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
            folders.push_back(std::string(config) + "/pipewire/pipewire.conf.d");
        else if (const char* home = std::getenv("HOME"); home && *home)
            folders.push_back(std::string(home) + "/.config/pipewire/pipewire.conf.d");
        folders.push_back("/etc/pipewire/pipewire.conf.d");
        folders.push_back("/usr/share/pipewire/pipewire.conf.d");
    }
    for (const std::string& folder : folders)
        if (const std::string path = folder + "/" + name; access(path.c_str(), R_OK) == 0)
            return path;
    return std::nullopt;
}

std::vector<FragmentObject> fragmentObjects(const std::string& text)
{
    // A configuration file is an object whose outer braces may be left out.
    spa_json outer, top;
    spa_json_init(&outer, text.c_str(), text.size());
    if (spa_json_enter_object(&outer, &top) <= 0)
        spa_json_init(&top, text.c_str(), text.size());
    std::vector<FragmentObject> objects;
    while (auto key = nextValue(top)) {
        auto value = nextValue(top);
        if (!value)
            break;
        if (unquoted(*key) != "context.objects")
            continue;
        spa_json array, list;
        spa_json_init(&array, value->c_str(), value->size());
        if (spa_json_enter_array(&array, &list) <= 0)
            continue;
        while (auto entry = nextValue(list))
            if (FragmentObject object = objectFrom(*entry); !object.factory.empty() && !object.args.empty())
                objects.push_back(std::move(object));
    }
    return objects;
}

} // namespace pipewire
