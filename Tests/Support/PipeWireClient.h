#pragma once
// What a PipeWire client of the tests and benchmarks needs: a connection of
// its own (thread loop, context, core, as another program has), the 32-bit
// float format its streams offer, a capture stream that records a node as a
// voice-chat application does, and a pause of the session manager.

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>

namespace PipeWireClient {

struct Connection {
    explicit Connection(const char* name = "test-client")
    {
        loop = pw_thread_loop_new(name, nullptr);
        context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
        pw_thread_loop_start(loop);
        pw_thread_loop_lock(loop);
        core = pw_context_connect(context, nullptr, 0);
        pw_thread_loop_unlock(loop);
    }
    ~Connection()
    {
        pw_thread_loop_stop(loop);
        if (core)
            pw_core_disconnect(core);
        pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
};

// Mono or stereo (FL, FR) 32-bit float at `rate`, built into `builder`.
inline const spa_pod* floatFormat(spa_pod_builder& builder, std::uint32_t channels, std::uint32_t rate)
{
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = channels;
    if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        constexpr std::uint32_t order[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_RL,
                                           SPA_AUDIO_CHANNEL_RR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE};
        for (std::uint32_t c = 0; c < channels && c < std::size(order); ++c)
            info.position[c] = order[c];
    }
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

// A client of its own that records a node as stereo float at 48 kHz through a
// capture stream aimed at it (target.object; a sink's monitor when
// `monitorOfSink`) and linked by the session manager, linking nothing itself.
// `onCycle` runs on the stream's data thread with each cycle's frames,
// interleaved, and the cycle's start (spa_io_position clock.nsec).
class CaptureStream {
public:
    using Cycle = std::function<void(const float* interleaved, std::uint32_t frames, std::int64_t cycleNsec)>;

    CaptureStream(const std::string& targetNodeName, bool monitorOfSink, const std::string& nodeName, Cycle onCycle);
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // The frames of the last cycle (0 before the first).
    std::uint32_t quantum() const { return quantum_.load(std::memory_order_relaxed); }

private:
    static void onProcess(void* data);

    Connection connection_{"capture-stream"};
    pw_stream* stream_ = nullptr;
    spa_hook hook_{};
    const Cycle onCycle_;
    std::atomic<std::uint32_t> quantum_{0};
};

// Stops the session manager whose process id `pidFile` holds until
// destroyed; it then resumes and handles everything that reached it
// meanwhile, in order.
// True once every thread of `pid` is stopped (kill() only asks).
bool allThreadsStopped(int pid);

class SessionManagerPause {
public:
    explicit SessionManagerPause(const std::string& pidFile);
    ~SessionManagerPause();
    SessionManagerPause(const SessionManagerPause&) = delete;
    SessionManagerPause& operator=(const SessionManagerPause&) = delete;
    bool paused() const { return pid_ > 0; }

private:
    int pid_ = 0;
};

} // namespace PipeWireClient
