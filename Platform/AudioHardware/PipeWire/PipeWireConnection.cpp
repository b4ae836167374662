#include "PipeWireConnection.h"
#include "PipeWireLog.h"

#include <algorithm>
#include <cerrno>

namespace pipewire {

Connection::Connection(Listener& listener) : listener_(listener), backoff_(kFirstRetryDelay) {}

Connection::~Connection()
{
    shutDown();
    if (loop_)
        pw_thread_loop_stop(loop_);
    if (context_)
        pw_context_destroy(context_);
    if (loop_)
        pw_thread_loop_destroy(loop_);
}

bool Connection::start()
{
    loop_ = pw_thread_loop_new("vlm-pipewire", nullptr);
    if (!loop_)
        return false;
    // client-rt.conf gives the data thread real-time priority where allowed.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!context_)
        return false;
    pw_loop* loop = pw_thread_loop_get_loop(loop_);
    lostEvent_ = pw_loop_add_event(loop, onLost, this);
    retryTimer_ = pw_loop_add_timer(loop, onRetry, this);
    if (!lostEvent_ || !retryTimer_ || pw_thread_loop_start(loop_) < 0)
        return false;
    pw_thread_loop_lock(loop_);
    tryConnect();
    pw_thread_loop_unlock(loop_);
    return true;
}

void Connection::shutDown()
{
    if (!loop_)
        return;
    pw_thread_loop_lock(loop_);
    shuttingDown_ = true;
    disconnect();
    pw_loop* loop = pw_thread_loop_get_loop(loop_);
    if (retryTimer_)
        pw_loop_destroy_source(loop, std::exchange(retryTimer_, nullptr));
    if (lostEvent_)
        pw_loop_destroy_source(loop, std::exchange(lostEvent_, nullptr));
    pw_thread_loop_unlock(loop_);
}

void Connection::tryConnect()
{
    if (core_ || shuttingDown_)
        return;
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        retryLater();
        return;
    }
    static constexpr pw_core_events events{
        .version = PW_VERSION_CORE_EVENTS,
        .done = onDone,
        .error = onError,
    };
    pw_core_add_listener(core_, coreHook_.get(), &events, this);
    backoff_ = kFirstRetryDelay;
    qCInfo(lcPipeWire) << "connected to the PipeWire server";
    listener_.connected(core_);
}

void Connection::disconnect()
{
    if (!core_)
        return;
    listener_.disconnected();
    coreHook_.remove();
    pw_core_disconnect(std::exchange(core_, nullptr));
    synced_ = false;
    pw_thread_loop_signal(loop_, false);
}

void Connection::retryLater()
{
    timespec value{};
    value.tv_sec = backoff_.count() / 1000;
    value.tv_nsec = long(backoff_.count() % 1000) * 1000000L;
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &value, nullptr, false);
    backoff_ = std::min(backoff_ * 2, kLongestRetryDelay);
}

void Connection::onDone(void* data, std::uint32_t id, int seq) noexcept
{
    auto* self = static_cast<Connection*>(data);
    if (id != PW_ID_CORE)
        return;
    self->listener_.syncDone(seq);
    if (seq == self->pendingSync_) {
        self->synced_ = true;
        pw_thread_loop_signal(self->loop_, false);
    }
}

// The server went away: the core is let go outside this event, and
// connected again as soon as a server answers. Errors of other objects are
// told to their own listeners.
void Connection::onError(void* data, std::uint32_t id, int seq, int res, const char* message) noexcept
{
    auto* self = static_cast<Connection*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
        qCWarning(lcPipeWire) << "the PipeWire server went away";
        pw_loop_signal_event(pw_thread_loop_get_loop(self->loop_), self->lostEvent_);
    } else {
        // Mostly a global gone before its binding was answered.
        qCDebug(lcPipeWire) << "error on object" << id << "seq" << seq << ":" << res << (message ? message : "");
    }
}

void Connection::restart()
{
    if (core_ && lostEvent_)
        pw_loop_signal_event(pw_thread_loop_get_loop(loop_), lostEvent_);
}

void Connection::onLost(void* data, std::uint64_t) noexcept
{
    auto* self = static_cast<Connection*>(data);
    self->disconnect();
    if (!self->shuttingDown_)
        self->retryLater();
}

void Connection::onRetry(void* data, std::uint64_t) noexcept { static_cast<Connection*>(data)->tryConnect(); }

bool Connection::roundTrip(std::chrono::milliseconds bound)
{
    if (!core_)
        return false;
    synced_ = false;
    pendingSync_ = pw_core_sync(core_, PW_ID_CORE, pendingSync_);
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::int64_t(bound.count()) * SPA_NSEC_PER_MSEC);
    while (!synced_ && core_)
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0)
            break;
    return synced_ && core_;
}

} // namespace pipewire
