#pragma once
// Owners of PipeWire's C handles. Each releases its handle in its destructor,
// and a proxy also listens to its own `destroy` event, so one that PipeWire
// destroys first (its connection went away) is forgotten, never freed twice.
// Call everything with the thread loop's lock held.

#include <pipewire/pipewire.h>

#include <memory>
#include <utility>

namespace pipewire {

struct PropertiesDeleter {
    void operator()(pw_properties* properties) const noexcept { pw_properties_free(properties); }
};
using PropertiesPtr = std::unique_ptr<pw_properties, PropertiesDeleter>;

// A listener registration that removes itself.
class Hook {
public:
    Hook() noexcept { spa_zero(hook_); }
    ~Hook() { remove(); }
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;

    spa_hook* get() noexcept { return &hook_; }
    void remove() noexcept
    {
        if (hook_.link.next) {
            spa_hook_remove(&hook_);
            spa_zero(hook_);
        }
    }

private:
    spa_hook hook_;
};

// A proxy this process made or bound. Not movable: PipeWire keeps the
// addresses of its hooks.
class Proxy {
public:
    explicit Proxy(pw_proxy* proxy) noexcept : proxy_(proxy)
    {
        if (proxy_)
            pw_proxy_add_listener(proxy_, destroyHook_.get(), &lifetimeEvents, this);
    }
    ~Proxy() { reset(); }
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    pw_proxy* get() const noexcept { return proxy_; }
    explicit operator bool() const noexcept { return proxy_ != nullptr; }

    // The interface's events (node info, metadata properties, ...).
    void listenToObject(const void* events, void* data) noexcept
    {
        if (proxy_)
            pw_proxy_add_object_listener(proxy_, objectHook_.get(), events, data);
    }
    // The proxy's own events (bound, removed, error).
    void listenToProxy(const pw_proxy_events* events, void* data) noexcept
    {
        if (proxy_)
            pw_proxy_add_listener(proxy_, proxyHook_.get(), events, data);
    }

    void reset() noexcept
    {
        objectHook_.remove();
        proxyHook_.remove();
        destroyHook_.remove();
        if (pw_proxy* proxy = std::exchange(proxy_, nullptr))
            pw_proxy_destroy(proxy);
    }

private:
    static void onDestroy(void* data) noexcept
    {
        auto* self = static_cast<Proxy*>(data);
        self->objectHook_.remove();
        self->proxyHook_.remove();
        self->destroyHook_.remove();
        self->proxy_ = nullptr;
    }
    static constexpr pw_proxy_events lifetimeEvents{
        .version = PW_VERSION_PROXY_EVENTS,
        .destroy = onDestroy,
    };

    pw_proxy* proxy_;
    Hook destroyHook_;
    Hook objectHook_;
    Hook proxyHook_;
};

// The registry of `core`, as a proxy of its own.
inline pw_proxy* newRegistry(pw_core* core) noexcept
{
    return reinterpret_cast<pw_proxy*>(pw_core_get_registry(core, PW_VERSION_REGISTRY, 0));
}

// Has `registry` call `onGlobal` and `onGlobalRemove` with `data` as objects
// come and go (those already there first).
template <auto onGlobal, auto onGlobalRemove>
void followRegistry(Proxy& registry, Hook& hook, void* data) noexcept
{
    static constexpr pw_registry_events events{
        .version = PW_VERSION_REGISTRY_EVENTS,
        .global = onGlobal,
        .global_remove = onGlobalRemove,
    };
    if (registry)
        pw_registry_add_listener(reinterpret_cast<pw_registry*>(registry.get()), hook.get(), &events, data);
}

} // namespace pipewire
