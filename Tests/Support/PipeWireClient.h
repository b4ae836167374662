#pragma once
// What a PipeWire client of the tests and benchmarks needs: a connection of
// its own (thread loop, context, core, as another program has) and the
// 32-bit float format its streams offer.

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <cstdint>
#include <iterator>

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

} // namespace PipeWireClient
