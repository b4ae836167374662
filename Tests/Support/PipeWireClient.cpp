#include "PipeWireClient.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <signal.h>

namespace PipeWireClient {

// ---------------------------------------------------------------------------
// Capture stream

CaptureStream::CaptureStream(const std::string& targetNodeName, bool monitorOfSink, const std::string& nodeName,
                             Cycle onCycle)
    : onCycle_(std::move(onCycle))
{
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onProcess;
        return e;
    }();
    pw_thread_loop_lock(connection_.loop);
    if (connection_.core) {
        pw_properties* props =
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME,
                              nodeName.c_str(), PW_KEY_TARGET_OBJECT, targetNodeName.c_str(), nullptr);
        if (monitorOfSink)
            pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
        stream_ = pw_stream_new(connection_.core, "voice chat", props);
        pw_stream_add_listener(stream_, &hook_, &events, this);
        std::uint8_t pod[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
        const spa_pod* params[1] = {floatFormat(builder, 2, 48000)};
        pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                          | PW_STREAM_FLAG_RT_PROCESS),
                          params, 1);
    }
    pw_thread_loop_unlock(connection_.loop);
}

CaptureStream::~CaptureStream()
{
    pw_thread_loop_lock(connection_.loop);
    if (stream_) {
        spa_hook_remove(&hook_);
        pw_stream_destroy(stream_);
    }
    pw_thread_loop_unlock(connection_.loop);
}

void CaptureStream::onProcess(void* data)
{
    auto* self = static_cast<CaptureStream*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
    if (!b)
        return;
    // `now` is the cycle's clock.nsec: this buffer was captured in this cycle.
    pw_time time{};
    pw_stream_get_time_n(self->stream_, &time, sizeof time);
    const spa_data& d = b->buffer->datas[0];
    if (d.data && d.chunk && d.chunk->size > 0) {
        const auto* in = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + d.chunk->offset);
        const std::uint32_t frames = d.chunk->size / 8;
        self->quantum_.store(frames, std::memory_order_relaxed);
        self->onCycle_(in, frames, time.now);
    }
    pw_stream_queue_buffer(self->stream_, b);
}

// ---------------------------------------------------------------------------
// Session manager pause

bool allThreadsStopped(int pid)
{
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        // "tid (name) S ...": the state follows the name's closing parenthesis.
        const auto close = line.rfind(')');
        if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T')
            return false;
    }
    return !error;
}


SessionManagerPause::SessionManagerPause(const std::string& pidFile)
{
    std::ifstream file(pidFile);
    int pid = 0;
    if (!(file >> pid) || pid <= 0 || kill(pid, SIGSTOP) != 0)
        return;
    pid_ = pid;
    // kill() only asks: wait until it has taken effect.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!allThreadsStopped(pid))
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGCONT);
            pid_ = 0;
            return;
        }
}

SessionManagerPause::~SessionManagerPause()
{
    if (pid_ > 0)
        kill(pid_, SIGCONT);
}

} // namespace PipeWireClient
