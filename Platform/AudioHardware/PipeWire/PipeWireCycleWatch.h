#pragma once
// Notices when the program's node delivers nothing while it should. A client
// linked to its inputs that stops (a microphone stream frozen, a hung server)
// holds up the whole driver group, so the node, and everything it plays,
// simply stops being called; links made meanwhile never finish. Nothing
// fails and nothing is told. A timer on the thread loop compares the node's
// cycle count, counted only while the links from it are set up, with the
// wall clock. Call everything with the thread loop's lock held.

#include "AudioHardware/CoreAudioTypes.h"

#include <pipewire/loop.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace pipewire {

class CycleWatch {
public:
    struct Look {
        bool shouldRun = false;     // playing, and linked
        std::uint64_t cycles = 0;   // the node's cycle count
        bool unfinished = false;    // a link from it not set up yet
        double cycleSeconds = 0.0;  // one quantum, 0 while unknown
    };

    // `look` is asked at every tick; `changed` is told each new state.
    CycleWatch(pw_loop* loop, std::function<Look()> look, std::function<void()> changed);
    ~CycleWatch();
    CycleWatch(const CycleWatch&) = delete;
    CycleWatch& operator=(const CycleWatch&) = delete;

    // kAudioHardwareIORunning, kAudioHardwareIOSilent or kAudioHardwareIOStalled.
    std::uint32_t state() const { return state_; }
    // A route started: it is given its own time to get cycles.
    void restart();
    // While the node rests there is nothing to watch: the timer stops too,
    // so a resting program does not wake for it. Resumed, it starts afresh.
    void setResting(bool resting);

private:
    static void onTimer(void* data, std::uint64_t) noexcept;
    void tick();
    void set(std::uint32_t state);

    pw_loop* loop_;
    spa_source* timer_ = nullptr;
    std::function<Look()> look_;
    std::function<void()> changed_;
    std::uint32_t state_ = kAudioHardwareIORunning;
    bool watching_ = false;
    std::uint64_t cycles_ = 0;
    std::chrono::steady_clock::time_point since_;
};

} // namespace pipewire
