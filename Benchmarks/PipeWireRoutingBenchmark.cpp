// The program's routing on a real PipeWire server (a private one, started for
// the run by scripts/pipewire-test-server), beside pw-loopback carrying the
// same audio in the same run, at quanta 256 and 1024.
//
// Added latency: an application (application.id com.tarnwick.velmora) plays a
// click every quarter of a second. A probe filter hears, in the same graph
// cycle, the application's own output and the virtual device's output; how
// many frames later each click comes out of the virtual device is the latency
// that the path adds (the median over the window). Reported for both, with
// the program's excess over pw-loopback in frames and in quanta, and their
// ratio where pw-loopback adds any latency at all.
//
// CPU: the routing process's CPU time (all its threads, user and system) over
// the same window, as a share of one core. The program is the router on the
// PipeWire backend, in a process of its own (this program run with --route),
// without the window. The reference is a pw-loopback process whose capture
// side is linked to the application's outputs and whose playback side is
// linked to the virtual device's inputs, as the program's are. Reported for
// both, with their ratio.
//
//   PipeWireRoutingBenchmark [--benchmark_repetitions=N] [--benchmark_format=json]

#include "AudioHardware/AudioHardwareBackend.h"
#include "NSUserDefaults.h"
#include "PipeWireAudioSystem.h"
#include "VLMAudioRouter.h"
#include "VLMVirtualOutputDevice.h"

#include <pipewire/filter.h>
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
constexpr std::uint32_t kClickInterval = kRate / 4;
constexpr float kClick = 0.5f;
constexpr double kWarmUpSeconds = 1.0;
constexpr double kWindowSeconds = 8.0;
// The probe keeps the last 2^20 frames (21.8 s), more than a window.
constexpr std::size_t kProbeCapacity = std::size_t(1) << 20;

constexpr const char* kApplicationID = "com.tarnwick.velmora";
constexpr const char* kApplicationNode = "vlm-bench-application";
constexpr const char* kMicrophoneNode = "vlm-bench-microphone";
constexpr const char* kProbeNode = "vlm-bench-probe";
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

// CPU time of a whole process (every thread), in seconds.
double processCPUSeconds(pid_t pid)
{
    clockid_t clock{};
    timespec t{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double monotonicSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

const spa_pod* floatFormat(spa_pod_builder& builder, std::uint32_t channels)
{
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = channels;
    if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

// ---------------------------------------------------------------------------
// This program's own connection: the clicking application, a silent
// microphone (the router needs one), the probe, and the links it makes.

class Graph {
public:
    Graph();
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    bool ready() const { return ready_; }
    // Links `fromNode`'s output of `channel` to `toNode`'s input `input`
    // (a channel or a port name), once both ports exist.
    bool link(const std::string& fromNode, const char* channel, const std::string& toNode, const char* input);
    // Waits until the server has a node of that name, or none.
    bool waitForNode(const std::string& name, bool present);

    std::size_t probeFrames() const { return probe_.frames.load(std::memory_order_acquire); }
    std::uint32_t quantum() const { return probe_.quantum.load(std::memory_order_relaxed); }
    // Probe channels for frames [from, to): the application's, the device's.
    void probeSamples(std::size_t from, std::size_t to, std::vector<float>& application,
                      std::vector<float>& device) const;

private:
    struct Port {
        std::uint32_t node = 0;
        bool output = false;
        std::string channel;
        std::string name;
    };
    struct Click {
        pw_stream* stream = nullptr;
        spa_hook hook{};
        std::uint64_t frame = 0;
    };
    struct Microphone {
        pw_stream* stream = nullptr;
        spa_hook hook{};
    };
    struct Probe {
        pw_filter* filter = nullptr;
        spa_hook hook{};
        void* application = nullptr;
        void* device = nullptr;
        std::vector<float> applicationRing = std::vector<float>(kProbeCapacity);
        std::vector<float> deviceRing = std::vector<float>(kProbeCapacity);
        std::atomic<std::size_t> frames{0};
        std::atomic<std::uint32_t> quantum{0};
    };

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    static void onClickProcess(void* data);
    static void onMicrophoneProcess(void* data);
    static void onProbeProcess(void* data, spa_io_position* position);
    std::uint32_t findPort(const std::string& node, bool output, const char* key) const;
    std::uint32_t findNode(const std::string& name) const;
    bool waitLocked(const std::function<bool()>& condition);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook registryHook_{};
    std::map<std::uint32_t, std::string> nodes_;
    std::map<std::uint32_t, Port> ports_;
    std::vector<pw_proxy*> links_;
    Click click_;
    Microphone microphone_;
    Probe probe_;
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
    pw_thread_loop_signal(g->loop_, false);
}

void Graph::onGlobalRemove(void* data, std::uint32_t id)
{
    auto* g = static_cast<Graph*>(data);
    g->nodes_.erase(id);
    g->ports_.erase(id);
    pw_thread_loop_signal(g->loop_, false);
}

void Graph::onClickProcess(void* data)
{
    auto* g = static_cast<Graph*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(g->click_.stream);
    if (!b)
        return;
    spa_data& d = b->buffer->datas[0];
    if (auto* out = static_cast<float*>(d.data)) {
        std::uint32_t frames = d.maxsize / 8;
        if (b->requested)
            frames = std::min<std::uint32_t>(frames, std::uint32_t(b->requested));
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float v = (g->click_.frame++ % kClickInterval) == 0 ? kClick : 0.0f;
            out[2 * i] = out[2 * i + 1] = v;
        }
        d.chunk->offset = 0;
        d.chunk->stride = 8;
        d.chunk->size = frames * 8;
    }
    pw_stream_queue_buffer(g->click_.stream, b);
}

void Graph::onMicrophoneProcess(void* data)
{
    auto* g = static_cast<Graph*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(g->microphone_.stream);
    if (!b)
        return;
    spa_data& d = b->buffer->datas[0];
    if (d.data) {
        std::uint32_t frames = d.maxsize / 4;
        if (b->requested)
            frames = std::min<std::uint32_t>(frames, std::uint32_t(b->requested));
        std::memset(d.data, 0, std::size_t(frames) * 4);
        d.chunk->offset = 0;
        d.chunk->stride = 4;
        d.chunk->size = frames * 4;
    }
    pw_stream_queue_buffer(g->microphone_.stream, b);
}

void Graph::onProbeProcess(void* data, spa_io_position* position)
{
    auto* g = static_cast<Graph*>(data);
    Probe& p = g->probe_;
    if (!position)
        return;
    const auto n = std::uint32_t(position->clock.duration);
    p.quantum.store(n, std::memory_order_relaxed);
    const auto* application = static_cast<const float*>(pw_filter_get_dsp_buffer(p.application, n));
    const auto* device = static_cast<const float*>(pw_filter_get_dsp_buffer(p.device, n));
    const std::size_t at = p.frames.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::size_t slot = (at + i) & (kProbeCapacity - 1);
        p.applicationRing[slot] = application ? application[i] : 0.0f;
        p.deviceRing[slot] = device ? device[i] : 0.0f;
    }
    p.frames.store(at + n, std::memory_order_release);
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
    static const pw_stream_events clickEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onClickProcess;
        return e;
    }();
    static const pw_stream_events microphoneEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.process = onMicrophoneProcess;
        return e;
    }();
    static const pw_filter_events probeEvents = [] {
        pw_filter_events e{};
        e.version = PW_VERSION_FILTER_EVENTS;
        e.process = onProbeProcess;
        return e;
    }();

    loop_ = pw_thread_loop_new("bench-graph", nullptr);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    pw_thread_loop_start(loop_);
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        pw_thread_loop_unlock(loop_);
        return;
    }
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &registryHook_, &events, this);

    std::uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_pod* stereo[1] = {floatFormat(builder, 2)};
    click_.stream = pw_stream_new(core_, "clicks",
                                  pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                    PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_ID, kApplicationID,
                                                    PW_KEY_APP_NAME, "Clicks", PW_KEY_NODE_NAME, kApplicationNode,
                                                    nullptr));
    pw_stream_add_listener(click_.stream, &click_.hook, &clickEvents, this);
    pw_stream_connect(click_.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                      | PW_STREAM_FLAG_RT_PROCESS),
                      stereo, 1);

    spa_pod_builder monoBuilder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_pod* mono[1] = {floatFormat(monoBuilder, 1)};
    microphone_.stream = pw_stream_new(
        core_, "microphone",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_NODE_NAME,
                          kMicrophoneNode, PW_KEY_NODE_DESCRIPTION, "Silent Microphone", nullptr));
    pw_stream_add_listener(microphone_.stream, &microphone_.hook, &microphoneEvents, this);
    pw_stream_connect(microphone_.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), mono, 1);

    probe_.filter = pw_filter_new(core_, "probe",
                                  pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                    PW_KEY_MEDIA_CLASS, "Stream/Input/Audio", PW_KEY_NODE_NAME,
                                                    kProbeNode, PW_KEY_NODE_AUTOCONNECT, "false",
                                                    PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr));
    pw_filter_add_listener(probe_.filter, &probe_.hook, &probeEvents, this);
    for (auto [port, name] : {std::pair{&probe_.application, "application"}, std::pair{&probe_.device, "device"}})
        *port = pw_filter_add_port(probe_.filter, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
                                   pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio",
                                                     PW_KEY_PORT_NAME, name, nullptr),
                                   nullptr, 0);
    pw_filter_connect(probe_.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
    ready_ = waitLocked([&] {
        return findPort(kApplicationNode, true, "FL") && findPort(kMicrophoneNode, true, "MONO")
            && findPort(kProbeNode, false, "device");
    });
    pw_thread_loop_unlock(loop_);
}

Graph::~Graph()
{
    pw_thread_loop_lock(loop_);
    for (pw_proxy* link : links_)
        pw_proxy_destroy(link);
    if (probe_.filter)
        pw_filter_destroy(probe_.filter);
    if (microphone_.stream)
        pw_stream_destroy(microphone_.stream);
    if (click_.stream)
        pw_stream_destroy(click_.stream);
    if (registry_) {
        spa_hook_remove(&registryHook_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (core_)
        pw_core_disconnect(core_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

bool Graph::waitLocked(const std::function<bool()>& condition)
{
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, 10 * SPA_NSEC_PER_SEC);
    while (!condition())
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0)
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
    pw_thread_loop_lock(loop_);
    const bool reached = waitLocked([&] { return (findNode(name) != 0) == present; });
    pw_thread_loop_unlock(loop_);
    return reached;
}

bool Graph::link(const std::string& fromNode, const char* channel, const std::string& toNode, const char* input)
{
    pw_thread_loop_lock(loop_);
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
        links_.push_back(static_cast<pw_proxy*>(
            pw_core_create_object(core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0)));
        pw_properties_free(props);
    }
    pw_thread_loop_unlock(loop_);
    return found;
}

void Graph::probeSamples(std::size_t from, std::size_t to, std::vector<float>& application,
                         std::vector<float>& device) const
{
    application.resize(to - from);
    device.resize(to - from);
    for (std::size_t f = from; f < to; ++f) {
        application[f - from] = probe_.applicationRing[f & (kProbeCapacity - 1)];
        device[f - from] = probe_.deviceRing[f & (kProbeCapacity - 1)];
    }
}

// ---------------------------------------------------------------------------
// The processes that route.

struct Process {
    pid_t pid = 0;
    int input = -1;  // the child's stdin, for --route
};

// Ends a process: closing its input first (the router quits on that), then
// SIGTERM, then SIGKILL.
void finish(Process& p)
{
    if (p.pid <= 0)
        return;
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

Process startLoopback()
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

// This program again, as the router; returns once it says it is routing.
Process startRouter()
{
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0)
        return {};
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
    char line[16] = {};
    pollfd ready{fromChild[0], POLLIN, 0};
    const bool said = p.pid > 0 && poll(&ready, 1, 20000) == 1 && read(fromChild[0], line, sizeof line - 1) > 0
                   && std::strncmp(line, "ready", 5) == 0;
    close(fromChild[0]);
    if (!said)
        finish(p);
    return p;
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
    bool announced = false;
    auto announce = [&](const VLMAudioRouterStatus& status) {
        if (status.kind() == VLMAudioRouterStatus::Kind::ready && !announced) {
            announced = true;
            [[maybe_unused]] const auto written = write(1, "ready\n", 6);
        } else if (status.kind() == VLMAudioRouterStatus::Kind::failed
                   || status.kind() == VLMAudioRouterStatus::Kind::driverMissing) {
            std::fprintf(stderr, "the router did not start: %s\n", status.message().c_str());
            app.exit(2);
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

// ---------------------------------------------------------------------------
// Measuring.

struct Measurement {
    double latencyFrames = -1;
    int clicks = 0;
    double cpuShare = -1;  // of one core
};

// The median distance from each click in the application's output to the
// same click leaving the virtual device.
void measureLatency(const std::vector<float>& application, const std::vector<float>& device, Measurement& m)
{
    std::vector<double> latencies;
    for (std::size_t i = 1; i + kClickInterval < application.size(); ++i) {
        if (!(std::abs(application[i]) > kClick / 2 && std::abs(application[i - 1]) <= kClick / 2))
            continue;
        std::size_t loudest = i;
        for (std::size_t j = i; j < i + kClickInterval; ++j)
            if (std::abs(device[j]) > std::abs(device[loudest]))
                loudest = j;
        if (std::abs(device[loudest]) > kClick / 10)
            latencies.push_back(double(loudest - i));
    }
    m.clicks = int(latencies.size());
    if (latencies.empty())
        return;
    std::nth_element(latencies.begin(), latencies.begin() + std::ptrdiff_t(latencies.size() / 2), latencies.end());
    m.latencyFrames = latencies[latencies.size() / 2];
}

// Lets the audio settle, then records a window of it and the process's CPU.
Measurement measure(Graph& graph, pid_t process)
{
    Measurement m;
    const std::size_t start = graph.probeFrames() + std::size_t(kWarmUpSeconds * kRate);
    const std::size_t end = start + std::size_t(kWindowSeconds * kRate);
    if (!pollUntil([&] { return graph.probeFrames() >= start; }, 10 * kWarmUpSeconds))
        return m;
    const double cpuStart = processCPUSeconds(process), wallStart = monotonicSeconds();
    if (!pollUntil([&] { return graph.probeFrames() >= end; }, 3 * kWindowSeconds))
        return m;
    const double cpuEnd = processCPUSeconds(process), wallEnd = monotonicSeconds();
    if (cpuStart >= 0 && cpuEnd >= 0)
        m.cpuShare = (cpuEnd - cpuStart) / (wallEnd - wallStart);
    std::vector<float> application, device;
    graph.probeSamples(start, end, application, device);
    measureLatency(application, device, m);
    return m;
}

std::unique_ptr<Graph>& graph()
{
    static std::unique_ptr<Graph> instance;
    return instance;
}

bool setQuantum(std::uint32_t quantum)
{
    const std::string set = "pw-metadata -n settings 0 clock.force-quantum " + std::to_string(quantum) + " > /dev/null";
    return std::system(set.c_str()) == 0 && pollUntil([&] { return graph()->quantum() == quantum; }, 10.0);
}

void RoutingAgainstPwLoopback(benchmark::State& state)
{
    const auto quantum = std::uint32_t(state.range(0));
    Graph& g = *graph();
    if (!setQuantum(quantum)) {
        state.SkipWithError("the graph did not take the quantum");
        return;
    }
    const std::string device = VLMVirtualOutputDevice::deviceUID;
    Measurement reference, program;
    for (auto _ : state) {
        Process loopback = startLoopback();
        const bool linked = loopback.pid > 0 && g.link(kApplicationNode, "FL", kLoopbackCapture, "FL")
                         && g.link(kApplicationNode, "FR", kLoopbackCapture, "FR")
                         && g.link(kLoopbackPlayback, "FL", device, "FL")
                         && g.link(kLoopbackPlayback, "FR", device, "FR");
        if (linked)
            reference = measure(g, loopback.pid);
        finish(loopback);
        g.waitForNode(kLoopbackPlayback, false);

        Process router = startRouter();
        if (router.pid > 0)
            program = measure(g, router.pid);
        finish(router);
    }
    if (reference.latencyFrames < 0 || program.latencyFrames < 0 || reference.cpuShare <= 0 || program.cpuShare <= 0) {
        state.SkipWithError("no measurement: see the logs in the server's folder");
        return;
    }
    state.counters["quantum"] = quantum;
    state.counters["loopback_latency_frames"] = reference.latencyFrames;
    state.counters["program_latency_frames"] = program.latencyFrames;
    state.counters["loopback_latency_ms"] = 1000.0 * reference.latencyFrames / kRate;
    state.counters["program_latency_ms"] = 1000.0 * program.latencyFrames / kRate;
    // pw-loopback may add no latency at all; a ratio to nothing means nothing.
    if (reference.latencyFrames > 0)
        state.counters["latency_ratio"] = program.latencyFrames / reference.latencyFrames;
    state.counters["latency_over_loopback_frames"] = program.latencyFrames - reference.latencyFrames;
    state.counters["latency_over_loopback_quanta"] = (program.latencyFrames - reference.latencyFrames) / quantum;
    state.counters["loopback_cpu_percent"] = 100.0 * reference.cpuShare;
    state.counters["program_cpu_percent"] = 100.0 * program.cpuShare;
    state.counters["cpu_ratio"] = program.cpuShare / reference.cpuShare;
    state.counters["clicks"] = std::min(reference.clicks, program.clicks);
}

BENCHMARK(RoutingAgainstPwLoopback)->Arg(256)->Arg(1024)->Iterations(1)->Unit(benchmark::kSecond);

// The private server for the run, and this program's part of the graph.
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
    // The probe hears the application and the virtual device all along.
    const std::string device = VLMVirtualOutputDevice::deviceUID;
    return graph()->link(kApplicationNode, "FL", kProbeNode, "application")
        && graph()->link(device, "FL", kProbeNode, "device");
}

void stopServer()
{
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

    benchmark::Initialize(&argc, argv);
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
