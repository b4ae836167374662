// The program's routing on a real PipeWire server (a private one, started for
// the run by scripts/pipewire-test-server), beside pw-loopback carrying the
// same audio in the same run, measured as a user meets it.
//
// Added latency. A music application (application.id com.tarnwick.velmora)
// plays to the speakers; a microphone (a stream with media.class
// Audio/Source, made the session's default input) plays nothing or clicks.
// A recorder, a client of its own, records the virtual device the way a
// voice-chat application does: a capture stream aimed at the device with
// target.object and connected by the session manager. It links nothing itself,
// so the graph keeps the driver groups that the routing alone makes.
//
// Every quarter of a second the clicking source plays a pair of impulses whose
// spacing encodes the click's number modulo 16 (48 to 768 frames apart). Both
// ends stamp an impulse with the cycle time of the graph that runs them
// (spa_io_position clock.nsec, read through pw_stream_get_time_n, plus the
// frame offset within the cycle), so a click is matched to its emission even
// when it arrives seconds late or in another driver group, and the delay is
// the difference in frames. One start of a routing process gives the median
// over the clicks that arrive in a window; each benchmark makes several
// starts, a fresh process each, alternating pw-loopback and the program, and
// reports min/median/max over the starts' medians for both, the extremes
// over single clicks, and the program's excess (median against median).
//
//   AppToDevice/<quantum>         the music application's clicks; also CPU
//   MicrophoneToDevice/<quantum>  the microphone's clicks
//   MicrophoneWithoutMusicToDevice/<quantum>  the same with the music
//                                 application paused, as in most of a call
//   SlowStartAppToDevice/<quantum> WirePlumber paused (SIGSTOP) for 3 s while
//                                 each process starts, then resumed
//
// CPU (AppToDevice): the routing process's CPU time (all its threads, user and
// system) over the same window, as a share of one core. The program is the
// router on the PipeWire backend, in a process of its own (this program run
// with --route), without the window. The reference is a pw-loopback process
// (both sides node.autoconnect=false) whose capture side is linked to the
// source's outputs and whose playback side is linked to the virtual device's
// inputs. Reported as medians over the starts with min and max, and the ratio
// of the medians.
//
//   SoakBothPaths/256             with --soak-minutes=M only: one routing
//                                 process for M minutes, both paths' delay
//                                 at its start and end, and every minute its
//                                 memory, threads, descriptors and xruns
//
//   PipeWireRoutingBenchmark [--starts=N] [--soak-minutes=M] [--benchmark_filter=...]
//                            [--benchmark_counters_tabular=true]
//
// Each start is also printed on stderr, one line per routing process.

#include "AudioHardware/AudioHardwareBackend.h"
#include "NSUserDefaults.h"
#include "PipeWireAudioSystem.h"
#include "Support/PipeWireClient.h"
#include "VLMAudioRouter.h"
#include "VLMVirtualOutputDevice.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr std::uint32_t kRate = 48000;

// A click: two impulses, the second (code + 1) * kCodeStep frames after the
// first, one click every kClickInterval frames, codes counting 0..kCodes-1.
// A click is recognised up to kCodes * kClickInterval frames (4 s) late.
constexpr std::uint32_t kClickInterval = kRate / 4;
constexpr std::uint32_t kCodes = 16;
constexpr std::uint32_t kCodeStep = 48;
constexpr float kImpulse = 0.5f;
// At the recorder an impulse starts where the signal passes kOnset after at
// least kQuietFrames frames below kQuiet.
constexpr float kOnset = 0.15f;
constexpr float kQuiet = 0.05f;
constexpr std::uint32_t kQuietFrames = 24;

constexpr double kWarmUpSeconds = 1.0;
constexpr double kWindowSeconds = 4.0;
constexpr double kSessionManagerPauseSeconds = 3.0;
int starts = 10;
int soakMinutes = 0;  // --soak-minutes=M adds SoakBothPaths

constexpr const char* kApplicationID = "com.tarnwick.velmora";
constexpr const char* kApplicationNode = "vlm-bench-application";
constexpr const char* kMicrophoneNode = "vlm-bench-microphone";
constexpr const char* kRecorderNode = "vlm-bench-voice-chat";
constexpr const char* kLoopbackCapture = "vlm-bench-loopback-capture";
constexpr const char* kLoopbackPlayback = "vlm-bench-loopback-playback";

std::string serverDirectory;

std::string script() { return std::string(VLM_SOURCE_DIR) + "/scripts/pipewire-test-server"; }

std::string commandOutput(const std::string& command)
{
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[512];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
            text.append(chunk, n);
        pclose(pipe);
    }
    return text;
}

// Polls `condition` until it holds or `seconds` pass. Used for waits on the
// audio itself, which only time can bring.
bool pollUntil(const std::function<bool()>& condition, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// CPU time of a whole process (every thread), in seconds.
double processCPUSeconds(pid_t pid)
{
    clockid_t clock{};
    timespec t{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// CLOCK_MONOTONIC, the clock of spa_io_position's clock.nsec.
std::int64_t monotonicNsec()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

const spa_pod* floatFormat(spa_pod_builder& builder, std::uint32_t channels)
{
    return PipeWireClient::floatFormat(builder, channels, kRate);
}

// ---------------------------------------------------------------------------
// Impulses, stamped with the graph's cycle time.

// An impulse at frame `offset` of the cycle that started at `nsec`
// (spa_io_position clock.nsec of the driver running the node). `code` is the
// click's number for an emitted click.
struct Stamp {
    std::int64_t nsec = 0;
    std::uint32_t offset = 0;
    std::uint32_t code = 0;

    double nsecAt() const { return double(nsec) + double(offset) * 1e9 / kRate; }
};

double framesBetween(const Stamp& from, const Stamp& to)
{
    return double(to.nsec - from.nsec) * kRate / 1e9 + double(to.offset) - double(from.offset);
}

// Appended to by one real-time thread, read by the benchmark's thread.
class StampLog {
public:
    void push(const Stamp& stamp)
    {
        const std::size_t n = count_.load(std::memory_order_relaxed);
        stamps_[n % kCapacity] = stamp;
        count_.store(n + 1, std::memory_order_release);
    }
    // The stamps kept, oldest first (the last kCapacity; hours of clicks).
    std::vector<Stamp> snapshot() const
    {
        const std::size_t n = count_.load(std::memory_order_acquire);
        std::vector<Stamp> copy;
        for (std::size_t i = n > kCapacity ? n - kCapacity : 0; i < n; ++i)
            copy.push_back(stamps_[i % kCapacity]);
        return copy;
    }

private:
    static constexpr std::size_t kCapacity = std::size_t(1) << 16;
    std::vector<Stamp> stamps_ = std::vector<Stamp>(kCapacity);
    std::atomic<std::size_t> count_{0};
};

// ---------------------------------------------------------------------------
// Clients of the server.

using PipeWireClient::Connection;

// A playback stream that plays silence or clicks and stamps each click.
struct Clicker {
    pw_stream* stream = nullptr;
    spa_hook hook{};
    std::uint32_t channels = 1;
    std::uint64_t frame = 0;
    std::atomic<bool> clicking{false};
    std::atomic<std::uint32_t> quantum{0};
    StampLog emitted;

    static void onProcess(void* data);
};

void Clicker::onProcess(void* data)
{
    auto* c = static_cast<Clicker*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(c->stream);
    if (!b)
        return;
    // `now` is the cycle's clock.nsec; this buffer leaves in this cycle.
    pw_time time{};
    pw_stream_get_time_n(c->stream, &time, sizeof time);
    spa_data& d = b->buffer->datas[0];
    if (auto* out = static_cast<float*>(d.data)) {
        const std::uint32_t stride = 4 * c->channels;
        std::uint32_t frames = d.maxsize / stride;
        if (b->requested)
            frames = std::min<std::uint32_t>(frames, std::uint32_t(b->requested));
        c->quantum.store(frames, std::memory_order_relaxed);
        const bool clicking = c->clicking.load(std::memory_order_relaxed);
        for (std::uint32_t i = 0; i < frames; ++i) {
            const std::uint64_t f = c->frame++;
            const auto code = std::uint32_t((f / kClickInterval) % kCodes);
            const auto phase = std::uint32_t(f % kClickInterval);
            const bool impulse = clicking && (phase == 0 || phase == (code + 1) * kCodeStep);
            if (clicking && phase == 0)
                c->emitted.push({time.now, i, code});
            for (std::uint32_t ch = 0; ch < c->channels; ++ch)
                out[i * c->channels + ch] = impulse ? kImpulse : 0.0f;
        }
        d.chunk->offset = 0;
        d.chunk->stride = std::int32_t(stride);
        d.chunk->size = frames * stride;
    }
    pw_stream_queue_buffer(c->stream, b);
}

// This program's own part of the graph: the music application, the
// microphone, and the links that the references need.
class Graph {
public:
    Graph();
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    bool ready() const { return ready_; }
    Clicker& application() { return application_; }
    Clicker& microphone() { return microphone_; }
    // Pauses or resumes the music application (its links stay).
    void setMusicPlaying(bool playing);
    // Links `fromNode`'s output of `channel` to `toNode`'s input `input`
    // (a channel or a port name), once both ports exist.
    bool link(const std::string& fromNode, const char* channel, const std::string& toNode, const char* input);
    // Waits until the server has a node of that name, or none.
    bool waitForNode(const std::string& name, bool present);

private:
    struct Port {
        std::uint32_t node = 0;
        bool output = false;
        std::string channel;
        std::string name;
    };

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    std::uint32_t findPort(const std::string& node, bool output, const char* key) const;
    std::uint32_t findNode(const std::string& name) const;
    bool waitLocked(const std::function<bool()>& condition);

    Connection connection_{"bench-graph"};
    pw_registry* registry_ = nullptr;
    spa_hook registryHook_{};
    std::map<std::uint32_t, std::string> nodes_;
    std::map<std::uint32_t, Port> ports_;
    std::vector<pw_proxy*> links_;
    Clicker application_;
    Clicker microphone_;
    bool ready_ = false;
};

void Graph::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                     const spa_dict* props)
{
    auto* g = static_cast<Graph*>(data);
    auto text = [&](const char* key) {
        const char* value = props ? spa_dict_lookup(props, key) : nullptr;
        return std::string(value ? value : "");
    };
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        g->nodes_[id] = text(PW_KEY_NODE_NAME);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Port port;
        port.node = std::uint32_t(std::strtoul(text(PW_KEY_NODE_ID).c_str(), nullptr, 10));
        port.output = text(PW_KEY_PORT_DIRECTION) == "out";
        port.channel = text(PW_KEY_AUDIO_CHANNEL);
        port.name = text(PW_KEY_PORT_NAME);
        g->ports_[id] = port;
    }
    pw_thread_loop_signal(g->connection_.loop, false);
}

void Graph::onGlobalRemove(void* data, std::uint32_t id)
{
    auto* g = static_cast<Graph*>(data);
    g->nodes_.erase(id);
    g->ports_.erase(id);
    pw_thread_loop_signal(g->connection_.loop, false);
}

Graph::Graph()
{
    static const pw_registry_events events = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = onGlobal;
        e.global_remove = onGlobalRemove;
        return e;
    }();
    static const pw_stream_events clickerEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = Clicker::onProcess;
        return e;
    }();

    pw_thread_loop_lock(connection_.loop);
    pw_core* core = connection_.core;
    if (!core) {
        pw_thread_loop_unlock(connection_.loop);
        return;
    }
    registry_ = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryHook_, &events, this);

    // The music application, played to the speakers by the session manager.
    std::uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_pod* stereo[1] = {floatFormat(builder, 2)};
    application_.channels = 2;
    application_.stream = pw_stream_new(
        core, "clicks",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
                          PW_KEY_APP_ID, kApplicationID, PW_KEY_APP_NAME, "Clicks", PW_KEY_NODE_NAME,
                          kApplicationNode, nullptr));
    pw_stream_add_listener(application_.stream, &application_.hook, &clickerEvents, &application_);
    pw_stream_connect(application_.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                      | PW_STREAM_FLAG_RT_PROCESS),
                      stereo, 1);

    // The microphone: a source that whoever records it drives.
    spa_pod_builder monoBuilder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_pod* mono[1] = {floatFormat(monoBuilder, 1)};
    microphone_.channels = 1;
    microphone_.stream = pw_stream_new(
        core, "microphone",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_NODE_NAME,
                          kMicrophoneNode, PW_KEY_NODE_DESCRIPTION, "Clicking Microphone", nullptr));
    pw_stream_add_listener(microphone_.stream, &microphone_.hook, &clickerEvents, &microphone_);
    pw_stream_connect(microphone_.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), mono, 1);

    ready_ = waitLocked([&] { return findPort(kApplicationNode, true, "FL") && findPort(kMicrophoneNode, true, "MONO"); });
    pw_thread_loop_unlock(connection_.loop);
}

Graph::~Graph()
{
    pw_thread_loop_lock(connection_.loop);
    for (pw_proxy* link : links_)
        pw_proxy_destroy(link);
    if (microphone_.stream)
        pw_stream_destroy(microphone_.stream);
    if (application_.stream)
        pw_stream_destroy(application_.stream);
    if (registry_) {
        spa_hook_remove(&registryHook_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    pw_thread_loop_unlock(connection_.loop);
}

void Graph::setMusicPlaying(bool playing)
{
    pw_thread_loop_lock(connection_.loop);
    pw_stream_set_active(application_.stream, playing);
    pw_thread_loop_unlock(connection_.loop);
}

bool Graph::waitLocked(const std::function<bool()>& condition)
{
    timespec deadline{};
    pw_thread_loop_get_time(connection_.loop, &deadline, 10 * SPA_NSEC_PER_SEC);
    while (!condition())
        if (pw_thread_loop_timed_wait_full(connection_.loop, &deadline) != 0)
            return condition();
    return true;
}

std::uint32_t Graph::findNode(const std::string& name) const
{
    for (const auto& [id, nodeName] : nodes_)
        if (nodeName == name)
            return id;
    return 0;
}

std::uint32_t Graph::findPort(const std::string& node, bool output, const char* key) const
{
    const std::uint32_t nodeID = findNode(node);
    if (!nodeID)
        return 0;
    for (const auto& [id, port] : ports_)
        if (port.node == nodeID && port.output == output && (port.channel == key || port.name == key))
            return id;
    return 0;
}

bool Graph::waitForNode(const std::string& name, bool present)
{
    pw_thread_loop_lock(connection_.loop);
    const bool reached = waitLocked([&] { return (findNode(name) != 0) == present; });
    pw_thread_loop_unlock(connection_.loop);
    return reached;
}

bool Graph::link(const std::string& fromNode, const char* channel, const std::string& toNode, const char* input)
{
    pw_thread_loop_lock(connection_.loop);
    std::uint32_t out = 0, in = 0;
    const bool found = waitLocked([&] {
        out = findPort(fromNode, true, channel);
        in = findPort(toNode, false, input);
        return out && in;
    });
    if (found) {
        pw_properties* props = pw_properties_new(nullptr, nullptr);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", findNode(fromNode));
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", out);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", findNode(toNode));
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", in);
        pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
        links_.push_back(static_cast<pw_proxy*>(pw_core_create_object(
            connection_.core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0)));
        pw_properties_free(props);
    }
    pw_thread_loop_unlock(connection_.loop);
    return found;
}

// The voice-chat application: a client of its own that records the virtual
// device through a capture stream aimed at it and linked by the session
// manager, and stamps every impulse it hears.
class Recorder {
public:
    Recorder();
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    std::uint32_t quantum() const { return quantum_.load(std::memory_order_relaxed); }
    const StampLog& heard() const { return heard_; }

private:
    static void onProcess(void* data);

    Connection connection_{"bench-voice-chat"};
    pw_stream* stream_ = nullptr;
    spa_hook hook_{};
    std::uint32_t quietFrames_ = 0;
    std::atomic<std::uint32_t> quantum_{0};
    StampLog heard_;
};

Recorder::Recorder()
{
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onProcess;
        return e;
    }();
    pw_thread_loop_lock(connection_.loop);
    if (connection_.core) {
        std::uint8_t pod[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
        const spa_pod* stereo[1] = {floatFormat(builder, 2)};
        stream_ = pw_stream_new(connection_.core, "voice chat",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                  PW_KEY_MEDIA_ROLE, "Communication", PW_KEY_APP_NAME, "Voice Chat",
                                                  PW_KEY_NODE_NAME, kRecorderNode, PW_KEY_TARGET_OBJECT,
                                                  VLMVirtualOutputDevice::deviceUID, nullptr));
        pw_stream_add_listener(stream_, &hook_, &events, this);
        pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                          | PW_STREAM_FLAG_RT_PROCESS),
                          stereo, 1);
    }
    pw_thread_loop_unlock(connection_.loop);
}

Recorder::~Recorder()
{
    pw_thread_loop_lock(connection_.loop);
    if (stream_)
        pw_stream_destroy(stream_);
    pw_thread_loop_unlock(connection_.loop);
}

void Recorder::onProcess(void* data)
{
    auto* r = static_cast<Recorder*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(r->stream_);
    if (!b)
        return;
    // `now` is the cycle's clock.nsec; this buffer was captured in this cycle.
    pw_time time{};
    pw_stream_get_time_n(r->stream_, &time, sizeof time);
    const spa_data& d = b->buffer->datas[0];
    if (d.data && d.chunk->size > 0) {
        const auto* in = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + d.chunk->offset);
        const std::uint32_t frames = d.chunk->size / 8;
        r->quantum_.store(frames, std::memory_order_relaxed);
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float level = std::abs(in[2 * i]);
            if (level > kOnset && r->quietFrames_ >= kQuietFrames)
                r->heard_.push({time.now, i, 0});
            r->quietFrames_ = level > kQuiet ? 0 : r->quietFrames_ + 1;
        }
    }
    pw_stream_queue_buffer(r->stream_, b);
}

std::unique_ptr<Graph>& graph()
{
    static std::unique_ptr<Graph> instance;
    return instance;
}

std::unique_ptr<Recorder>& recorder()
{
    static std::unique_ptr<Recorder> instance;
    return instance;
}

// ---------------------------------------------------------------------------
// The processes that route.

struct Process {
    pid_t pid = 0;
    int input = -1;   // the child's stdin, for --route
    int output = -1;  // the child's stdout, for --route
};

// Ends a process: closing its input first (the router quits on that), then
// SIGTERM, then SIGKILL.
void finish(Process& p)
{
    if (p.output >= 0)
        close(p.output);
    if (p.pid <= 0) {
        p = {};
        return;
    }
    if (p.input >= 0)
        close(p.input);
    else
        kill(p.pid, SIGTERM);
    int status = 0;
    if (!pollUntil([&] { return waitpid(p.pid, &status, WNOHANG) == p.pid; }, 10.0)) {
        kill(p.pid, SIGKILL);
        waitpid(p.pid, &status, 0);
    }
    p = {};
}

Process spawnLoopback()
{
    const std::string capture = std::string("{ node.name=") + kLoopbackCapture + " node.autoconnect=false }";
    const std::string playback = std::string("{ node.name=") + kLoopbackPlayback + " node.autoconnect=false }";
    const std::string log = serverDirectory + "/pw-loopback.log";
    const char* argv[] = {"pw-loopback", "--capture-props", capture.c_str(), "--playback-props", playback.c_str(),
                          nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    Process p;
    if (posix_spawnp(&p.pid, "pw-loopback", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        p.pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    return p;
}

// What pw-loopback carries: the music application or the microphone.
enum class Path { application, microphone };

// Links pw-loopback as the program's router is linked: its capture side to
// the application's outputs (and for the microphone path to the microphone's
// as well: the program captures both, and the application's link puts the
// speakers, which drive ahead of the device, into the group as it does for
// the program), its playback side to the virtual device's inputs. Without
// the application, the virtual device would drive the group, and a null sink
// that drives offers its input at its output one cycle later.
bool linkLoopback(Path path)
{
    Graph& g = *graph();
    const std::string device = VLMVirtualOutputDevice::deviceUID;
    const bool application = g.link(kApplicationNode, "FL", kLoopbackCapture, "FL")
                          && g.link(kApplicationNode, "FR", kLoopbackCapture, "FR");
    const bool microphone = path == Path::application
                         || (g.link(kMicrophoneNode, "MONO", kLoopbackCapture, "FL")
                             && g.link(kMicrophoneNode, "MONO", kLoopbackCapture, "FR"));
    return application && microphone && g.link(kLoopbackPlayback, "FL", device, "FL")
        && g.link(kLoopbackPlayback, "FR", device, "FR");
}

// This program again, as the router (see route()).
Process spawnRouter()
{
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0)
        return {};
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return {};
    }
    const char* argv[] = {"/proc/self/exe", "--route", serverDirectory.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    Process p;
    if (posix_spawn(&p.pid, "/proc/self/exe", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        p.pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    p.input = toChild[1];
    p.output = fromChild[0];
    return p;
}

// True once the router says it is routing (within `seconds`).
bool routerSaysReady(Process& p, double seconds)
{
    char line[16] = {};
    pollfd ready{p.output, POLLIN, 0};
    return p.pid > 0 && poll(&ready, 1, int(seconds * 1000)) == 1 && read(p.output, line, sizeof line - 1) > 0
        && std::strncmp(line, "ready", 5) == 0;
}

// The router's side: runs until its input closes.
int route(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    serverDirectory = argv[2];
    NSUserDefaults::useFileForTesting(serverDirectory + "/router-defaults.ini");
    auto system = PipeWireAudioSystem::connect();
    if (!system)
        return 1;
    AudioHardwareInstallBackend(system);
    auto router = VLMAudioRouter::create();
    router->setVelmoraVolume(1.0f);
    router->setMicrophoneVolume(1.0f);
    bool announced = false;
    auto announce = [&](const VLMAudioRouterStatus& status) {
        if (status.kind() == VLMAudioRouterStatus::Kind::ready && !announced) {
            announced = true;
            [[maybe_unused]] const auto written = write(1, "ready\n", 6);
        } else if (status.kind() == VLMAudioRouterStatus::Kind::failed
                   || status.kind() == VLMAudioRouterStatus::Kind::driverMissing) {
            // Reported, not fatal: a slow session manager can make the start
            // fail for a while and recover; the benchmark gives up when no
            // "ready" comes in time.
            std::fprintf(stderr, "router status %s: %s\n",
                         status.kind() == VLMAudioRouterStatus::Kind::failed ? "failed" : "driver missing",
                         status.message().c_str());
        }
    };
    router->statusDidChange = announce;
    router->start();
    announce(router->status());
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        if (read(0, &c, 1) <= 0)
            app.quit();
    });
    const int status = app.exec();
    router->stop();
    router.reset();
    AudioHardwareInstallBackend(nullptr);
    system.reset();
    NSUserDefaults::useFileForTesting("");
    return status;
}

// WirePlumber, paused and resumed around a start.
pid_t sessionManager()
{
    const std::string text = commandOutput("cat '" + serverDirectory + "/wireplumber.pid'");
    return pid_t(std::strtol(text.c_str(), nullptr, 10));
}

// Starts the reference or the program, ready to measure; with
// `slowSessionManager`, WirePlumber is stopped from just before the start
// until kSessionManagerPauseSeconds later.
Process startRouting(bool program, Path path, bool slowSessionManager)
{
    const pid_t manager = slowSessionManager ? sessionManager() : 0;
    if (manager > 0)
        kill(manager, SIGSTOP);
    Process p = program ? spawnRouter() : spawnLoopback();
    if (manager > 0) {
        sleepSeconds(kSessionManagerPauseSeconds);
        kill(manager, SIGCONT);
    }
    const bool ready = p.pid > 0 && (program ? routerSaysReady(p, 20.0) : linkLoopback(path));
    if (!ready)
        finish(p);
    return p;
}

// ---------------------------------------------------------------------------
// Measuring.

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The clicks heard in [fromNsec, toNsec): a click is a pair of impulses
// (code + 1) * kCodeStep frames apart, give or take kTolerance frames.
std::vector<Stamp> clicksHeard(const std::vector<Stamp>& impulses, std::int64_t fromNsec, std::int64_t toNsec)
{
    constexpr double kTolerance = 3;
    std::vector<Stamp> clicks;
    for (std::size_t i = 0; i + 1 < impulses.size(); ++i) {
        const Stamp& first = impulses[i];
        if (first.nsecAt() < double(fromNsec) || first.nsecAt() >= double(toNsec))
            continue;
        const double gap = framesBetween(first, impulses[i + 1]);
        const double steps = std::round(gap / kCodeStep);
        if (steps < 1 || steps > kCodes || std::abs(gap - steps * kCodeStep) > kTolerance)
            continue;
        clicks.push_back({first.nsec, first.offset, std::uint32_t(steps) - 1});
        ++i;
    }
    return clicks;
}

// How late each click heard arrived: against the last click of the same code
// emitted no later than it was heard.
std::vector<double> delaysInFrames(const std::vector<Stamp>& emitted, const std::vector<Stamp>& heard)
{
    std::vector<double> delays;
    for (const Stamp& click : heard) {
        for (auto e = emitted.rbegin(); e != emitted.rend(); ++e) {
            if (e->code != click.code)
                continue;
            const double delay = framesBetween(*e, click);
            if (delay > -0.5) {
                delays.push_back(std::round(delay));
                break;
            }
        }
    }
    return delays;
}

// One start of a routing process: the delay of each click heard in the
// window, and the process's CPU over it.
struct Run {
    std::vector<double> delays;
    double cpuShare = -1;  // of one core

    bool valid() const { return !delays.empty() && cpuShare >= 0; }
    double delay() const { return median(delays); }
};

Run observe(Clicker& source, pid_t process)
{
    Run run;
    sleepSeconds(kWarmUpSeconds);
    const std::int64_t from = monotonicNsec();
    const double cpuStart = processCPUSeconds(process);
    sleepSeconds(kWindowSeconds);
    const std::int64_t to = monotonicNsec();
    const double cpuEnd = processCPUSeconds(process);
    if (cpuStart >= 0 && cpuEnd >= 0)
        run.cpuShare = (cpuEnd - cpuStart) / (double(to - from) * 1e-9);
    sleepSeconds(0.05);  // the second impulse of the last click
    run.delays = delaysInFrames(source.emitted.snapshot(), clicksHeard(recorder()->heard().snapshot(), from, to));
    return run;
}

// Starts, measures and ends one routing process.
Run measureStart(bool program, Path path, bool slowSessionManager)
{
    Clicker& source = path == Path::application ? graph()->application() : graph()->microphone();
    Process p = startRouting(program, path, slowSessionManager);
    Run run;
    if (p.pid > 0)
        run = observe(source, p.pid);
    finish(p);
    if (!program)
        graph()->waitForNode(kLoopbackPlayback, false);
    sleepSeconds(0.2);  // the graph settles without the process
    return run;
}

bool setQuantum(std::uint32_t quantum)
{
    const std::string set = "pw-metadata -n settings 0 clock.force-quantum " + std::to_string(quantum) + " > /dev/null";
    return std::system(set.c_str()) == 0 && pollUntil([&] {
               return graph()->application().quantum.load() == quantum && recorder()->quantum() == quantum;
           }, 10.0);
}

struct Spread {
    double min = NAN, median = NAN, max = NAN;
};

Spread spread(const std::vector<double>& values)
{
    if (values.empty())
        return {};
    return {*std::min_element(values.begin(), values.end()), median(values),
            *std::max_element(values.begin(), values.end())};
}

std::string list(const std::vector<double>& values, const char* format, double scale = 1)
{
    std::string text;
    char item[32];
    for (double v : values) {
        std::snprintf(item, sizeof item, format, scale * v);
        text += (text.empty() ? "" : " ") + std::string(item);
    }
    return text;
}

// `starts` starts of pw-loopback and of the program, alternating, at one
// quantum; counters for both and for the program against pw-loopback.
void measureStarts(benchmark::State& state, const char* name, Path path, bool slowSessionManager)
{
    const auto quantum = std::uint32_t(state.range(0));
    Clicker& source = path == Path::application ? graph()->application() : graph()->microphone();
    if (!setQuantum(quantum)) {
        state.SkipWithError("the graph did not take the quantum");
        return;
    }
    source.clicking = true;
    sleepSeconds(0.3);
    std::vector<double> referenceDelays, programDelays, referenceCPU, programCPU;
    std::vector<double> referenceClicks, programClicks;  // every click of every start
    for (auto _ : state) {
        for (int s = 0; s < starts; ++s) {
            const Run reference = measureStart(false, path, slowSessionManager);
            const Run program = measureStart(true, path, slowSessionManager);
            std::fprintf(stderr,
                         "%s/%u start %2d: pw-loopback %6.0f frames (clicks %zu, %4.0f..%-4.0f) cpu %.3f %% | "
                         "program %6.0f frames (clicks %zu, %4.0f..%-4.0f) cpu %.3f %%\n",
                         name, quantum, s + 1, reference.delay(), reference.delays.size(),
                         spread(reference.delays).min, spread(reference.delays).max, 100 * reference.cpuShare,
                         program.delay(), program.delays.size(), spread(program.delays).min,
                         spread(program.delays).max, 100 * program.cpuShare);
            if (reference.valid()) {
                referenceDelays.push_back(reference.delay());
                referenceCPU.push_back(reference.cpuShare);
                referenceClicks.insert(referenceClicks.end(), reference.delays.begin(), reference.delays.end());
            }
            if (program.valid()) {
                programDelays.push_back(program.delay());
                programCPU.push_back(program.cpuShare);
                programClicks.insert(programClicks.end(), program.delays.begin(), program.delays.end());
            }
        }
    }
    source.clicking = false;
    if (referenceDelays.empty() || programDelays.empty()) {
        state.SkipWithError("no measurement: see the logs in the server's folder");
        return;
    }
    std::fprintf(stderr, "%s/%u per-start delays (frames): pw-loopback [%s] program [%s]\n", name, quantum,
                 list(referenceDelays, "%.0f").c_str(), list(programDelays, "%.0f").c_str());
    const Spread reference = spread(referenceDelays), program = spread(programDelays);
    state.counters["quantum"] = quantum;
    state.counters["starts_ref"] = double(referenceDelays.size());
    state.counters["starts_prog"] = double(programDelays.size());
    state.counters["ref_min"] = reference.min;
    state.counters["ref_median"] = reference.median;
    state.counters["ref_max"] = reference.max;
    state.counters["prog_min"] = program.min;
    state.counters["prog_median"] = program.median;
    state.counters["prog_max"] = program.max;
    // The extremes over single clicks rather than over the starts' medians.
    state.counters["ref_click_min"] = spread(referenceClicks).min;
    state.counters["ref_click_max"] = spread(referenceClicks).max;
    state.counters["prog_click_min"] = spread(programClicks).min;
    state.counters["prog_click_max"] = spread(programClicks).max;
    // pw-loopback adds nothing when it is linked right: a ratio to nothing
    // means nothing, so the program is compared by its excess.
    state.counters["excess_frames"] = program.median - reference.median;
    state.counters["excess_quanta"] = (program.median - reference.median) / quantum;
    if (path == Path::application && !slowSessionManager) {
        const Spread refCPU = spread(referenceCPU), progCPU = spread(programCPU);
        std::fprintf(stderr, "%s/%u CPU %% of a core: pw-loopback [%s] program [%s]\n", name, quantum,
                     list(referenceCPU, "%.3f", 100).c_str(), list(programCPU, "%.3f", 100).c_str());
        // Shares of one core, in percent.
        state.counters["ref_cpu_min"] = 100 * refCPU.min;
        state.counters["ref_cpu_med"] = 100 * refCPU.median;
        state.counters["ref_cpu_max"] = 100 * refCPU.max;
        state.counters["prog_cpu_min"] = 100 * progCPU.min;
        state.counters["prog_cpu_med"] = 100 * progCPU.median;
        state.counters["prog_cpu_max"] = 100 * progCPU.max;
        state.counters["cpu_ratio"] = progCPU.median / refCPU.median;
    }
}

// ---------------------------------------------------------------------------
// Soak: one routing process kept for --soak-minutes, the delay of both paths
// at its start and its end, and every minute its memory, threads, descriptors
// and the xruns PipeWire counts for the program's node, the virtual device and
// the driver (pw-top's ERR column).

long statusField(pid_t pid, const char* field)
{
    const std::string text = commandOutput("grep '^" + std::string(field) + ":' /proc/" + std::to_string(pid)
                                           + "/status");
    const auto colon = text.find(':');
    return colon == std::string::npos ? -1 : std::strtol(text.c_str() + colon + 1, nullptr, 10);
}

long descriptorCount(pid_t pid)
{
    return std::strtol(commandOutput("ls /proc/" + std::to_string(pid) + "/fd | wc -l").c_str(), nullptr, 10);
}

// "name=errors" for the nodes of interest, read off pw-top's screen.
std::string xruns()
{
    const std::string screen = commandOutput(
        "TERM=xterm timeout 2 script -qfc 'stty cols 220 rows 60; pw-top' /dev/null 2>/dev/null"
        " | sed 's/\\x1b\\[[0-9;?]*[a-zA-Z]//g' | tr '\\r' '\\n'"
        " | grep -E 'velmora-studio-connect|VelmoraStudioConnect.Device|test-speakers' | tail -3"
        " | sed -E 's/.*(us|-) +([0-9.]+|---) +([0-9.]+|---) +([0-9]+).* ([^ ]+)$/\\5=\\4/'"
        " | sort -u | tr '\\n' ' '");
    return screen.empty() ? "(none read)" : screen;
}

void SoakBothPaths(benchmark::State& state)
{
    const auto quantum = std::uint32_t(state.range(0));
    if (!setQuantum(quantum)) {
        state.SkipWithError("the graph did not take the quantum");
        return;
    }
    auto delayOf = [](Clicker& source, pid_t process) {
        source.clicking = true;
        sleepSeconds(0.3);
        const Run run = observe(source, process);
        source.clicking = false;
        return run.delay();
    };
    for (auto _ : state) {
        Process p = startRouting(true, Path::application, false);
        if (p.pid <= 0) {
            state.SkipWithError("the router did not start");
            return;
        }
        const double musicAtStart = delayOf(graph()->application(), p.pid);
        const double microphoneAtStart = delayOf(graph()->microphone(), p.pid);
        const long rssAtStart = statusField(p.pid, "VmRSS");
        std::fprintf(stderr, "soak start: music %.0f frames, microphone %.0f frames\n", musicAtStart,
                     microphoneAtStart);
        for (int minute = 1; minute <= soakMinutes; ++minute) {
            const double cpuBefore = processCPUSeconds(p.pid);
            sleepSeconds(60.0 - 2.0);
            std::fprintf(stderr, "soak minute %3d: rss %ld kB, threads %ld, descriptors %ld, cpu %.2f %%, xruns %s\n",
                         minute, statusField(p.pid, "VmRSS"), statusField(p.pid, "Threads"), descriptorCount(p.pid),
                         100 * (processCPUSeconds(p.pid) - cpuBefore) / 58.0, xruns().c_str());
        }
        const double musicAtEnd = delayOf(graph()->application(), p.pid);
        const double microphoneAtEnd = delayOf(graph()->microphone(), p.pid);
        std::fprintf(stderr, "soak end: music %.0f frames, microphone %.0f frames\n", musicAtEnd, microphoneAtEnd);
        state.counters["music_start"] = musicAtStart;
        state.counters["music_end"] = musicAtEnd;
        state.counters["mic_start"] = microphoneAtStart;
        state.counters["mic_end"] = microphoneAtEnd;
        state.counters["rss_start_kB"] = double(rssAtStart);
        state.counters["rss_end_kB"] = double(statusField(p.pid, "VmRSS"));
        finish(p);
    }
}

void AppToDevice(benchmark::State& state) { measureStarts(state, "AppToDevice", Path::application, false); }
void MicrophoneToDevice(benchmark::State& state) { measureStarts(state, "MicrophoneToDevice", Path::microphone, false); }
// A call without music: the application is paused, so no speakers are in
// the routing's group.
void MicrophoneWithoutMusicToDevice(benchmark::State& state)
{
    setQuantum(std::uint32_t(state.range(0)));  // while the application still runs to see it
    graph()->setMusicPlaying(false);
    measureStarts(state, "MicrophoneWithoutMusicToDevice", Path::microphone, false);
    graph()->setMusicPlaying(true);
}
void SlowStartAppToDevice(benchmark::State& state)
{
    measureStarts(state, "SlowStartAppToDevice", Path::application, true);
}

BENCHMARK(AppToDevice)->Arg(64)->Arg(256)->Arg(1024)->Arg(2048)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(MicrophoneToDevice)->Arg(64)->Arg(256)->Arg(1024)->Arg(2048)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(MicrophoneWithoutMusicToDevice)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(SlowStartAppToDevice)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);

// The private server for the run, this program's part of the graph and the
// voice-chat recorder.
bool startServer()
{
    char folder[] = "/tmp/vlm-pipewire-bench-XXXXXX";
    if (!mkdtemp(folder))
        return false;
    serverDirectory = folder;
    if (std::system(("'" + script() + "' start '" + serverDirectory + "'").c_str()) != 0)
        return false;
    setenv("PIPEWIRE_RUNTIME_DIR", (serverDirectory + "/runtime").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (serverDirectory + "/config").c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    graph() = std::make_unique<Graph>();
    if (!graph()->ready())
        return false;
    // The router routes the session's default microphone.
    const std::string expected = std::string("\"name\":\"") + kMicrophoneNode + "\"";
    const std::string set = std::string("pw-metadata 0 default.configured.audio.source '{ \"name\": \"")
                          + kMicrophoneNode + "\" }' Spa:String:JSON > /dev/null";
    if (std::system(set.c_str()) != 0
        || !pollUntil(
            [&] {
                return commandOutput("pw-metadata -n default 0 default.audio.source").find(expected)
                    != std::string::npos;
            },
            10.0))
        return false;
    recorder() = std::make_unique<Recorder>();
    return pollUntil([] { return recorder()->quantum() > 0; }, 10.0);
}

void stopServer()
{
    recorder().reset();
    graph().reset();
    if (!serverDirectory.empty())
        std::system(("'" + script() + "' stop '" + serverDirectory + "' && rm -rf '" + serverDirectory + "'").c_str());
}

} // namespace

int main(int argc, char** argv)
{
    pw_init(nullptr, nullptr);
    if (argc >= 3 && std::strcmp(argv[1], "--route") == 0)
        return route(argc, argv);

    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--soak-minutes=", 15) == 0) {
            soakMinutes = std::max(1, std::atoi(argv[i] + 15));
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            --i;
        } else if (std::strncmp(argv[i], "--starts=", 9) == 0) {
            starts = std::max(1, std::atoi(argv[i] + 9));
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            --i;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (soakMinutes > 0)
        benchmark::RegisterBenchmark("SoakBothPaths", SoakBothPaths)->Arg(256)->Iterations(1)->Unit(benchmark::kSecond);
    if (!startServer()) {
        std::fprintf(stderr, "PipeWireRoutingBenchmark: no private PipeWire server (see %s)\n",
                     serverDirectory.c_str());
        stopServer();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopServer();
    return 0;
}
