#include "PipeWireTestSupport.h"

#include "VLMAudioError.h"

#include <pipewire/extensions/metadata.h>

#include <gtest/gtest.h>

#include "Support/CommandOutput.h"
#include "Support/MainQueue.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace PipeWireTest {

namespace {

std::string& directory()
{
    static std::string dir;
    return dir;
}

std::string script() { return std::string(VLM_SOURCE_DIR) + "/scripts/pipewire-test-server"; }

// One private server per test program, which CTest runs once per test.
class ServerEnvironment final : public testing::Environment {
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vlm-pipewire-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        directory() = tmpl;
        const std::string start = "'" + script() + "' start '" + directory() + "'";
        ASSERT_EQ(std::system(start.c_str()), 0) << "the private PipeWire server did not start";
        setenv("PIPEWIRE_RUNTIME_DIR", (directory() + "/runtime").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (directory() + "/config").c_str(), 1);
        unsetenv("PIPEWIRE_REMOTE");
        pw_init(nullptr, nullptr);
    }

    void TearDown() override
    {
        if (directory().empty())
            return;
        const std::string stop = "'" + script() + "' stop '" + directory() + "' && rm -rf '" + directory() + "'";
        EXPECT_EQ(std::system(stop.c_str()), 0);
    }
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new ServerEnvironment);

using PipeWireClient::Connection;
using PipeWireClient::floatFormat;

// Waits on a thread loop whose lock the caller holds.
bool waitLocked(pw_thread_loop* loop, const std::function<bool()>& condition)
{
    timespec deadline{};
    pw_thread_loop_get_time(loop, &deadline, 10 * SPA_NSEC_PER_SEC);
    while (!condition())
        if (pw_thread_loop_timed_wait_full(loop, &deadline) != 0)
            return condition();
    return true;
}

} // namespace

const std::string& serverDirectory() { return directory(); }

int run(const std::string& command) { return std::system(command.c_str()); }

bool stopServer() { return run("'" + script() + "' stop '" + directory() + "'") == 0; }

bool startServer() { return run("'" + script() + "' start '" + directory() + "'") == 0; }

bool setDefaultInput(const std::string& nodeName)
{
    const std::string set = "pw-metadata 0 default.configured.audio.source '{ \"name\": \"" + nodeName
                          + "\" }' Spa:String:JSON > /dev/null";
    const std::string expected = "\"name\":\"" + nodeName + "\"";
    // The session manager decides; a choice made while it is still settling
    // can be lost, so it is made again until the session shows it. Each
    // check is a fresh pw-metadata binding the session's metadata, as any
    // tool does: exactly what can keep a change from clients already
    // listening (see refreshMetadata() in the backend).
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (run(set) != 0)
            return false;
        if (runMainQueueUntil(
                [&] {
                    return commandOutput("pw-metadata -n default 0 default.audio.source 2>/dev/null").find(expected)
                        != std::string::npos;
                },
                std::chrono::seconds(1)))
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------

struct ToneSource::State {
    Connection connection;
    pw_stream* stream = nullptr;
    spa_hook hook{};
    ToneOptions options;
    std::vector<double> phases;  // one per channel
    std::atomic<int> state{PW_STREAM_STATE_UNCONNECTED};
    bool microphone = false;
};

namespace {

void onToneProcess(void* data)
{
    auto* s = static_cast<ToneSource::State*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
    if (!b)
        return;
    spa_data& d = b->buffer->datas[0];
    auto* out = static_cast<float*>(d.data);
    if (out) {
        const std::uint32_t stride = 4 * s->options.channels;
        std::uint32_t frames = d.maxsize / stride;
        if (b->requested)
            frames = std::min<std::uint32_t>(frames, std::uint32_t(b->requested));
        const auto& frequencies = s->options.channelFrequencies;
        for (std::uint32_t c = 0; c < s->options.channels; ++c) {
            const double f = c < frequencies.size() ? frequencies[c] : s->options.frequency;
            const double step = 2 * M_PI * f / 48000.0;
            double& phase = s->phases[c];
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i * s->options.channels + c] = s->options.amplitude * float(std::sin(phase));
                phase = std::fmod(phase + step, 2 * M_PI);
            }
        }
        d.chunk->offset = 0;
        d.chunk->stride = std::int32_t(stride);
        d.chunk->size = frames * stride;
    }
    pw_stream_queue_buffer(s->stream, b);
}

void onToneState(void* data, pw_stream_state, pw_stream_state state, const char*)
{
    auto* s = static_cast<ToneSource::State*>(data);
    s->state = int(state);
    pw_thread_loop_signal(s->connection.loop, false);
}

const pw_stream_events toneEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onToneState;
    e.process = onToneProcess;
    return e;
}();

} // namespace

ToneSource::ToneSource(ToneOptions options) : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.options = std::move(options);
    s.phases.assign(s.options.channels, 0.0);
    auto cls = s.options.properties.find(PW_KEY_MEDIA_CLASS);
    s.microphone = cls != s.options.properties.end() && cls->second == "Audio/Source";
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_MEDIA_ROLE, "Music", nullptr);
    for (const auto& [key, value] : s.options.properties)
        pw_properties_set(props, key.c_str(), value.c_str());
    pw_thread_loop_lock(s.connection.loop);
    s.stream = pw_stream_new(s.connection.core, "tone", props);
    pw_stream_add_listener(s.stream, &s.hook, &toneEvents, &s);
    std::uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_pod* params[1] = {floatFormat(builder, s.options.channels, 48000)};
    // A microphone waits to be captured; an application goes to the speakers.
    auto flags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS
                                 | (s.microphone ? 0 : PW_STREAM_FLAG_AUTOCONNECT));
    pw_stream_connect(s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
    pw_thread_loop_unlock(s.connection.loop);
}

ToneSource::~ToneSource()
{
    pw_thread_loop_lock(state_->connection.loop);
    spa_hook_remove(&state_->hook);
    pw_stream_destroy(state_->stream);
    pw_thread_loop_unlock(state_->connection.loop);
}

bool ToneSource::waitUntilReady()
{
    State& s = *state_;
    pw_thread_loop_lock(s.connection.loop);
    const bool ready = waitLocked(s.connection.loop, [&] {
        return s.state == PW_STREAM_STATE_STREAMING || (s.microphone && s.state == PW_STREAM_STATE_PAUSED);
    });
    pw_thread_loop_unlock(s.connection.loop);
    return ready;
}

std::unique_ptr<ToneSource> ToneSource::application(const std::string& applicationID, double frequency,
                                                    float amplitude)
{
    ToneOptions options;
    options.frequency = frequency;
    options.amplitude = amplitude;
    options.properties = {{PW_KEY_APP_ID, applicationID}, {PW_KEY_APP_NAME, applicationID},
                          {PW_KEY_NODE_NAME, applicationID + ".stream"}};
    return std::make_unique<ToneSource>(options);
}

std::unique_ptr<ToneSource> ToneSource::microphone(const std::string& nodeName, const std::string& description,
                                                   double frequency, float amplitude, std::uint32_t channels)
{
    ToneOptions options;
    options.frequency = frequency;
    options.amplitude = amplitude;
    options.channels = channels;
    options.properties = {{PW_KEY_MEDIA_CLASS, "Audio/Source"},
                          {PW_KEY_NODE_NAME, nodeName},
                          {PW_KEY_NODE_DESCRIPTION, description}};
    return std::make_unique<ToneSource>(options);
}

// ---------------------------------------------------------------------------

// A connection of its own that has learnt the server's globals and can wait
// until the server has handled everything it sent.
struct RegistryClient {
    struct Global {
        std::uint32_t id = 0;
        std::string type;
        std::map<std::string, std::string> properties;
    };

    RegistryClient();
    ~RegistryClient();
    int sync() { return pw_core_sync(connection.core, PW_ID_CORE, 0); }
    // Lock held.
    bool roundTrip()
    {
        const int seq = sync();
        return waitLocked(connection.loop, [&] { return done.count(seq) > 0; });
    }

    Connection connection{"registry-client"};
    pw_registry* registry = nullptr;
    spa_hook registryHook{};
    spa_hook coreHook{};
    std::vector<Global> globals;
    std::set<int> done;
    bool listed = false;  // every global there was when it connected is in `globals`
};

namespace {

void onRegistryGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                      const spa_dict* props)
{
    RegistryClient::Global global{id, type, {}};
    const spa_dict_item* item;
    if (props)
        spa_dict_for_each(item, props) global.properties[item->key] = item->value ? item->value : "";
    static_cast<RegistryClient*>(data)->globals.push_back(std::move(global));
}

const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onRegistryGlobal;
    return e;
}();

void onRegistryClientDone(void* data, std::uint32_t id, int seq)
{
    auto* client = static_cast<RegistryClient*>(data);
    if (id == PW_ID_CORE) {
        client->done.insert(seq);
        pw_thread_loop_signal(client->connection.loop, false);
    }
}

const pw_core_events registryClientCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.done = onRegistryClientDone;
    return e;
}();

} // namespace

RegistryClient::RegistryClient()
{
    pw_thread_loop_lock(connection.loop);
    if (connection.core) {
        pw_core_add_listener(connection.core, &coreHook, &registryClientCoreEvents, this);
        registry = pw_core_get_registry(connection.core, PW_VERSION_REGISTRY, 0);
        pw_registry_add_listener(registry, &registryHook, &registryEvents, this);
        listed = roundTrip();
    }
    pw_thread_loop_unlock(connection.loop);
}

RegistryClient::~RegistryClient()
{
    pw_thread_loop_lock(connection.loop);
    if (registry) {
        spa_hook_remove(&registryHook);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        spa_hook_remove(&coreHook);
    }
    pw_thread_loop_unlock(connection.loop);
}

struct MetadataClient::State : RegistryClient {
    struct Binding {
        State* state = nullptr;
        pw_proxy* proxy = nullptr;
        spa_hook hook{};
        std::map<std::string, std::string> values;
        int syncAfterBind = -1;
    };

    std::map<std::string, std::unique_ptr<Binding>> bindings;

    Binding* startBinding(const std::string& name);
};

namespace {

int onMetadataClientProperty(void* data, std::uint32_t subject, const char* key, const char*, const char* value)
{
    auto* b = static_cast<MetadataClient::State::Binding*>(data);
    if (subject == PW_ID_CORE && key) {
        if (value)
            b->values[key] = value;
        else
            b->values.erase(key);
    }
    pw_thread_loop_signal(b->state->connection.loop, false);
    return 0;
}

const pw_metadata_events metadataClientEvents = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = onMetadataClientProperty;
    return e;
}();

} // namespace

MetadataClient::State::Binding* MetadataClient::State::startBinding(const std::string& name)
{
    auto global = std::find_if(globals.begin(), globals.end(), [&](const Global& g) {
        auto metadataName = g.properties.find(PW_KEY_METADATA_NAME);
        return g.type == PW_TYPE_INTERFACE_Metadata && metadataName != g.properties.end()
            && metadataName->second == name;
    });
    if (global == globals.end() || bindings.count(name))
        return nullptr;
    auto binding = std::make_unique<Binding>();
    binding->state = this;
    binding->proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry, global->id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!binding->proxy)
        return nullptr;
    pw_proxy_add_object_listener(binding->proxy, &binding->hook, &metadataClientEvents, binding.get());
    Binding* raw = binding.get();
    bindings[name] = std::move(binding);
    return raw;
}

MetadataClient::MetadataClient() : state_(std::make_unique<State>()) { EXPECT_TRUE(state_->listed); }

MetadataClient::~MetadataClient()
{
    State& s = *state_;
    pw_thread_loop_lock(s.connection.loop);
    for (auto& [name, binding] : s.bindings) {
        spa_hook_remove(&binding->hook);
        pw_proxy_destroy(binding->proxy);
    }
    pw_thread_loop_unlock(s.connection.loop);
}

bool MetadataClient::bind(const std::string& name)
{
    State& s = *state_;
    pw_thread_loop_lock(s.connection.loop);
    // The server answers a binding's round trip only after every value.
    const bool bound = s.startBinding(name) && s.roundTrip();
    pw_thread_loop_unlock(s.connection.loop);
    return bound;
}

bool MetadataClient::set(const std::string& name, const std::string& key, const std::string& value,
                         const std::string& type)
{
    State& s = *state_;
    pw_thread_loop_lock(s.connection.loop);
    auto binding = s.bindings.find(name);
    bool handled = false;
    if (binding != s.bindings.end()) {
        pw_metadata_set_property(reinterpret_cast<pw_metadata*>(binding->second->proxy), PW_ID_CORE, key.c_str(),
                                 type.empty() ? nullptr : type.c_str(), value.c_str());
        handled = s.roundTrip();
    }
    pw_thread_loop_unlock(s.connection.loop);
    return handled;
}

std::string MetadataClient::value(const std::string& name, const std::string& key) const
{
    State& s = *state_;
    pw_thread_loop_lock(s.connection.loop);
    std::string found;
    if (auto binding = s.bindings.find(name); binding != s.bindings.end())
        if (auto v = binding->second->values.find(key); v != binding->second->values.end())
            found = v->second;
    pw_thread_loop_unlock(s.connection.loop);
    return found;
}

bool MetadataClient::waitForValue(const std::string& name, const std::string& key, const std::string& value)
{
    State& s = *state_;
    pw_thread_loop_lock(s.connection.loop);
    const bool seen = waitLocked(s.connection.loop, [&] {
        auto binding = s.bindings.find(name);
        if (binding == s.bindings.end())
            return false;
        auto v = binding->second->values.find(key);
        return v != binding->second->values.end() && v->second == value;
    });
    pw_thread_loop_unlock(s.connection.loop);
    return seen;
}

void MetadataClient::markThenBind(const std::string& markerName, const std::string& markerKey,
                                  const std::string& markerValue, const std::string& name)
{
    State& s = *state_;
    // Holding the loop's lock keeps all three messages in one batch.
    pw_thread_loop_lock(s.connection.loop);
    auto marker = s.bindings.find(markerName);
    EXPECT_NE(marker, s.bindings.end());
    if (marker != s.bindings.end())
        pw_metadata_set_property(reinterpret_cast<pw_metadata*>(marker->second->proxy), PW_ID_CORE,
                                 markerKey.c_str(), nullptr, markerValue.c_str());
    State::Binding* binding = s.startBinding(name);
    EXPECT_NE(binding, nullptr);
    if (binding)
        binding->syncAfterBind = s.sync();
    pw_thread_loop_unlock(s.connection.loop);
}

bool MetadataClient::waitUntilBound(const std::string& name)
{
    State& s = *state_;
    pw_thread_loop_lock(s.connection.loop);
    auto binding = s.bindings.find(name);
    const bool bound = binding != s.bindings.end() && waitLocked(s.connection.loop, [&] {
        return s.done.count(binding->second->syncAfterBind) > 0;
    });
    pw_thread_loop_unlock(s.connection.loop);
    return bound;
}

SessionManagerPause::SessionManagerPause()
    : PipeWireClient::SessionManagerPause(serverDirectory() + "/wireplumber.pid")
{
}

// ---------------------------------------------------------------------------

namespace {

// 16-bit mono PCM at 48 kHz.
void writeToneWave(const std::string& path, double frequency, float amplitude, double seconds)
{
    constexpr std::uint32_t rate = 48000;
    const auto frames = std::uint32_t(seconds * rate);
    std::vector<std::int16_t> samples(frames);
    for (std::uint32_t i = 0; i < frames; ++i)
        samples[i] = std::int16_t(std::lround(32767.0 * amplitude * std::sin(2 * M_PI * frequency * i / rate)));
    std::ofstream file(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { file.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { file.write(reinterpret_cast<const char*>(&v), 2); };
    file.write("RIFF", 4);
    u32(36 + frames * 2);
    file.write("WAVEfmt ", 8);
    u32(16);
    u16(1);  // PCM
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    file.write("data", 4);
    u32(frames * 2);
    file.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * 2));
}

} // namespace

ProcessMicrophone::ProcessMicrophone(const std::string& nodeName, double frequency, float amplitude)
{
    const std::string wave = serverDirectory() + "/" + nodeName + ".wav";
    writeToneWave(wave, frequency, amplitude, 60.0);
    const std::string properties =
        "{ media.class = Audio/Source node.name = " + nodeName + " node.description = " + nodeName + " }";
    // Not linked by the session manager: the program links what it captures.
    const char* argv[] = {"pw-cat", "--playback", "--target", "0", "--latency", "1024",
                          "-P", properties.c_str(), wave.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "pw-cat", nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0)
        pid_ = pid;
}

ProcessMicrophone::~ProcessMicrophone()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

bool ProcessMicrophone::freeze()
{
    if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!PipeWireClient::allThreadsStopped(pid_))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

void ProcessMicrophone::thaw()
{
    if (pid_ > 0)
        kill(pid_, SIGCONT);
}

std::vector<std::uint32_t> globalsWhere(const char* type, const std::string& key, const std::string& value)
{
    RegistryClient client;
    std::vector<std::uint32_t> ids;
    pw_thread_loop_lock(client.connection.loop);
    for (const auto& global : client.globals)
        if (auto it = global.properties.find(key);
            global.type == type && it != global.properties.end() && it->second == value)
            ids.push_back(global.id);
    pw_thread_loop_unlock(client.connection.loop);
    return ids;
}

bool destroyGlobal(std::uint32_t id)
{
    RegistryClient client;
    pw_thread_loop_lock(client.connection.loop);
    bool done = client.listed;
    if (done) {
        pw_registry_destroy(client.registry, id);
        done = client.roundTrip();
    }
    pw_thread_loop_unlock(client.connection.loop);
    return done;
}

bool createLingeringNode(const std::string& factory, const std::map<std::string, std::string>& properties)
{
    RegistryClient client;
    pw_thread_loop_lock(client.connection.loop);
    bool done = client.listed;
    if (done) {
        pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "true", nullptr);
        for (const auto& [key, value] : properties)
            pw_properties_set(props, key.c_str(), value.c_str());
        auto* node = static_cast<pw_proxy*>(pw_core_create_object(client.connection.core, factory.c_str(),
                                                                  PW_TYPE_INTERFACE_Node, PW_VERSION_NODE,
                                                                  &props->dict, 0));
        pw_properties_free(props);
        done = node && client.roundTrip();
        if (node)
            pw_proxy_destroy(node);
    }
    pw_thread_loop_unlock(client.connection.loop);
    return done;
}

// ---------------------------------------------------------------------------

CaptureBuffer::CaptureBuffer(double seconds, double rate) : buffer_(std::size_t(seconds * rate) * 2, 0.0f) {}

void CaptureBuffer::write(const AudioBufferList* input)
{
    if (!input || input->mNumberBuffers == 0 || input->mBuffers[0].mNumberChannels == 0)
        return;
    // Channels are numbered across the buffers: the first two are kept.
    const float* channel[2] = {nullptr, nullptr};
    std::uint32_t stride[2] = {1, 1};
    std::uint32_t total = 0;
    for (std::uint32_t b = 0; b < input->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = input->mBuffers[b];
        for (std::uint32_t c = 0; c < buffer.mNumberChannels; ++c, ++total)
            if (total < 2 && buffer.mData) {
                channel[total] = static_cast<const float*>(buffer.mData) + c;
                stride[total] = buffer.mNumberChannels;
            }
    }
    if (!channel[0])
        return;
    if (!channel[1]) {
        channel[1] = channel[0];
        stride[1] = stride[0];
    }
    channels_.store(total);
    const AudioBuffer& first = input->mBuffers[0];
    append(channel[0], stride[0], channel[1], stride[1], first.mDataByteSize / (4 * first.mNumberChannels));
}

void CaptureBuffer::append(const float* left, std::uint32_t leftStride, const float* right, std::uint32_t rightStride,
                           std::size_t frames)
{
    const std::size_t at = frames_.load(std::memory_order_relaxed);
    const std::size_t n = std::min(frames, buffer_.size() / 2 - at);
    for (std::size_t i = 0; i < n; ++i) {
        buffer_[2 * (at + i)] = left[i * leftStride];
        buffer_[2 * (at + i) + 1] = right[i * rightStride];
    }
    frames_.store(at + n, std::memory_order_release);
}

std::vector<float> CaptureBuffer::samples() const
{
    return {buffer_.begin(), buffer_.begin() + std::ptrdiff_t(2 * frames())};
}

AudioDeviceIOBlock CaptureBuffer::block()
{
    return [this](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*, AudioBufferList*,
                  const AudioTimeStamp*) { write(input); };
}

Recorder::Recorder(const std::string& targetNodeName, bool monitorOfSink, double seconds)
    : CaptureBuffer(seconds),
      stream_(targetNodeName, monitorOfSink, "test-recorder",
              [this](const float* in, std::uint32_t frames, std::int64_t) { append(in, 2, in + 1, 2, frames); })
{
}

// ---------------------------------------------------------------------------

RunningTap startTap(CaptureBuffer& buffer, std::vector<std::string> bundleIDs)
{
    RunningTap t;
    auto description = CATapDescription::initStereoMixdownOfProcesses({});
    description.setName("Velmora Studio and Music");
    description.setBundleIDs(std::move(bundleIDs));
    description.setProcessRestoreEnabled(true);
    description.setPrivate(true);
    description.setMuteBehavior(CATapUnmuted);
    EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &t.tap), 0);

    const AudioStreamBasicDescription f = VLMAudioHardware::streamFormat(t.tap);
    EXPECT_TRUE(f.mSampleRate == 48000.0 && f.mChannelsPerFrame == 2 && f.mBitsPerChannel == 32) << "stereo float";
    const auto uid = VLMAudioHardware::stringProperty(t.tap, kAudioTapPropertyUID);
    EXPECT_TRUE(uid && !uid->empty());

    const CFDictionary aggregate{
        {kAudioAggregateDeviceNameKey, "Velmora Studio Connect Capture"},
        {kAudioAggregateDeviceUIDKey, "com.tarnwick.VelmoraStudioConnect.Capture"},
        {kAudioAggregateDeviceIsPrivateKey, true},
        {kAudioAggregateDeviceTapAutoStartKey, false},
        {kAudioAggregateDeviceTapListKey,
         CFArray{CFDictionary{{kAudioSubTapUIDKey, uid.value_or("")}, {kAudioSubTapDriftCompensationKey, true}}}},
    };
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&aggregate, &t.aggregate), 0);
    EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&t.ioProc, t.aggregate, nullptr, buffer.block()), 0);
    EXPECT_EQ(AudioDeviceStart(t.aggregate, t.ioProc), 0);
    return t;
}

void stopTap(const RunningTap& t)
{
    EXPECT_EQ(AudioDeviceStop(t.aggregate, t.ioProc), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(t.aggregate, t.ioProc), 0);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(t.aggregate), 0);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(t.tap), 0);
}

// ---------------------------------------------------------------------------

std::vector<AudioObjectID> objectList(AudioObjectID object, AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope)
{
    return VLMAudioHardware::objectIDs(object, {selector, scope, kAudioObjectPropertyElementMain});
}

AudioObjectID deviceWithUID(const std::string& uid)
{
    try {
        return VLMAudioHardware::deviceID(uid).value_or(kAudioObjectUnknown);
    } catch (const VLMAudioError&) {
        return kAudioObjectUnknown;  // no server (yet): nothing to find
    }
}

} // namespace PipeWireTest
