#pragma once
// The connection to the PipeWire server, kept up for the life of the
// process: a thread loop and a context, and a core that is connected again
// in the background (with a short backoff) whenever the server is not there,
// whether it never was or it went away. Its listener hears each connection
// made and lost on the thread loop, with the lock held.

#include "PipeWireHandles.h"

#include <chrono>
#include <cstdint>

namespace pipewire {

class Connection {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void connected(pw_core* core) = 0;
        // Before the core goes: release everything made on it.
        virtual void disconnected() = 0;
        virtual void syncDone(int seq) = 0;
    };

    // The first try after a failed one comes soon (a server restart takes a
    // few tens of milliseconds), then each waits twice as long, up to once a
    // second.
    static constexpr std::chrono::milliseconds kFirstRetryDelay{50};
    static constexpr std::chrono::milliseconds kLongestRetryDelay{1000};

    explicit Connection(Listener& listener);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Starts the thread loop and tries the server once; false only when the
    // loop or the context cannot be made.
    bool start();
    // Stops reconnecting and lets the current connection go.
    void shutDown();
    // Lock held. Lets the current connection go, outside the event that asks,
    // and connects again as after a lost connection.
    void restart();
    // How long the next try waits after a failed one: short again once a
    // connection is made.
    std::chrono::milliseconds retryDelay() const { return backoff_; }

    pw_thread_loop* loop() const { return loop_; }
    pw_context* context() const { return context_; }
    // Null while there is no server.
    pw_core* core() const { return core_; }

    // Lock held. Waits, at most `bound`, until the server has handled
    // everything sent so far; false on timeout or without a server.
    bool roundTrip(std::chrono::milliseconds bound);

private:
    static void onDone(void* data, std::uint32_t id, int seq) noexcept;
    static void onError(void* data, std::uint32_t id, int seq, int res, const char* message) noexcept;
    static void onLost(void* data, std::uint64_t) noexcept;
    static void onRetry(void* data, std::uint64_t) noexcept;
    void tryConnect();
    void disconnect();
    void retryLater();

    Listener& listener_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    Hook coreHook_;
    spa_source* lostEvent_ = nullptr;
    spa_source* retryTimer_ = nullptr;
    std::chrono::milliseconds backoff_;
    bool shuttingDown_ = false;
    int pendingSync_ = -1;
    bool synced_ = false;
};

} // namespace pipewire
