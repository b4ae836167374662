#include "PipeWireTestSupport.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <gtest/gtest.h>

#include "Support/MainQueue.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

// A connection of its own, as another program would have.
struct Connection {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;

    Connection()
    {
        loop = pw_thread_loop_new("test-client", nullptr);
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
};

const spa_pod* floatFormat(spa_pod_builder& builder, std::uint32_t channels, std::uint32_t rate)
{
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = channels;
    if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

bool waitForState(pw_thread_loop* loop, const std::atomic<int>& state, std::initializer_list<int> wanted)
{
    timespec deadline{};
    pw_thread_loop_get_time(loop, &deadline, 10 * SPA_NSEC_PER_SEC);
    pw_thread_loop_lock(loop);
    bool reached = false;
    for (;;) {
        for (int w : wanted)
            reached = reached || state == w;
        if (reached || pw_thread_loop_timed_wait_full(loop, &deadline) != 0)
            break;
    }
    pw_thread_loop_unlock(loop);
    return reached;
}

} // namespace

const std::string& serverDirectory() { return directory(); }

int run(const std::string& command) { return std::system(command.c_str()); }

namespace {

std::string output(const std::string& command)
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

} // namespace

bool setDefaultInput(const std::string& nodeName)
{
    const std::string set = "pw-metadata 0 default.configured.audio.source '{ \"name\": \"" + nodeName
                          + "\" }' Spa:String:JSON > /dev/null";
    const std::string expected = "\"name\":\"" + nodeName + "\"";
    // The session manager decides; a choice made while it is still settling
    // can be lost, so it is made again until the session shows it.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (run(set) != 0)
            return false;
        if (runMainQueueUntil(
                [&] {
                    return output("pw-metadata -n default 0 default.audio.source 2>/dev/null").find(expected)
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
    double phase = 0;
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
        const double step = 2 * M_PI * s->options.frequency / 48000.0;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const float v = s->options.amplitude * float(std::sin(s->phase));
            s->phase = std::fmod(s->phase + step, 2 * M_PI);
            for (std::uint32_t c = 0; c < s->options.channels; ++c)
                out[i * s->options.channels + c] = v;
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
    if (state_->microphone)
        return waitForState(state_->connection.loop, state_->state, {PW_STREAM_STATE_PAUSED, PW_STREAM_STATE_STREAMING});
    return waitForState(state_->connection.loop, state_->state, {PW_STREAM_STATE_STREAMING});
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

struct Recorder::State {
    Connection connection;
    pw_stream* stream = nullptr;
    spa_hook hook{};
    std::vector<float> buffer;
    std::atomic<std::size_t> frames{0};
};

namespace {

void onRecordProcess(void* data)
{
    auto* s = static_cast<Recorder::State*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
    if (!b)
        return;
    spa_data& d = b->buffer->datas[0];
    if (d.data && d.chunk) {
        const auto* in = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + d.chunk->offset);
        const std::size_t frames = d.chunk->size / 8;
        const std::size_t at = s->frames.load(std::memory_order_relaxed);
        const std::size_t n = std::min(frames, s->buffer.size() / 2 - at);
        std::memcpy(s->buffer.data() + 2 * at, in, n * 8);
        s->frames.store(at + n, std::memory_order_release);
    }
    pw_stream_queue_buffer(s->stream, b);
}

const pw_stream_events recordEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.process = onRecordProcess;
    return e;
}();

} // namespace

Recorder::Recorder(const std::string& targetNodeName, bool monitorOfSink, double seconds)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.buffer.assign(std::size_t(seconds * 48000) * 2, 0.0f);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_TARGET_OBJECT, targetNodeName.c_str(), PW_KEY_NODE_NAME,
                                             "test-recorder", nullptr);
    if (monitorOfSink)
        pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
    pw_thread_loop_lock(s.connection.loop);
    s.stream = pw_stream_new(s.connection.core, "recorder", props);
    pw_stream_add_listener(s.stream, &s.hook, &recordEvents, &s);
    std::uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_pod* params[1] = {floatFormat(builder, 2, 48000)};
    pw_stream_connect(s.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                      | PW_STREAM_FLAG_RT_PROCESS),
                      params, 1);
    pw_thread_loop_unlock(s.connection.loop);
}

Recorder::~Recorder()
{
    pw_thread_loop_lock(state_->connection.loop);
    spa_hook_remove(&state_->hook);
    pw_stream_destroy(state_->stream);
    pw_thread_loop_unlock(state_->connection.loop);
}

std::size_t Recorder::frames() const { return state_->frames.load(std::memory_order_acquire); }

std::vector<float> Recorder::samples() const
{
    const std::size_t n = frames();
    return {state_->buffer.begin(), state_->buffer.begin() + std::ptrdiff_t(2 * n)};
}

// ---------------------------------------------------------------------------

CaptureBuffer::CaptureBuffer(double seconds, double rate) : buffer_(std::size_t(seconds * rate) * 2, 0.0f) {}

void CaptureBuffer::write(const AudioBufferList* input)
{
    if (!input || input->mNumberBuffers == 0 || input->mBuffers[0].mNumberChannels == 0)
        return;
    const AudioBuffer& b = input->mBuffers[0];
    channels_.store(b.mNumberChannels);
    const std::size_t frames = b.mDataByteSize / (4 * b.mNumberChannels);
    const auto* in = static_cast<const float*>(b.mData);
    const std::size_t at = frames_.load(std::memory_order_relaxed);
    const std::size_t n = std::min(frames, buffer_.size() / 2 - at);
    for (std::size_t i = 0; i < n; ++i) {
        buffer_[2 * (at + i)] = in[i * b.mNumberChannels];
        buffer_[2 * (at + i) + 1] = in[i * b.mNumberChannels + (b.mNumberChannels > 1 ? 1 : 0)];
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

namespace {

// Goertzel over a Hann window, scaled back to a sine's peak.
double blockAmplitude(const float* interleaved, std::size_t frames, std::uint32_t channels, std::uint32_t channel,
                      double rate, double frequency)
{
    const double w = 2 * M_PI * frequency / rate;
    const double coefficient = 2 * std::cos(w);
    double s1 = 0, s2 = 0, windowSum = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(frames - 1));
        windowSum += window;
        const double s = window * interleaved[i * channels + channel] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

} // namespace

double toneAmplitude(const std::vector<float>& interleaved, std::uint32_t channels, std::uint32_t channel,
                     double rate, double frequency, double skipSeconds)
{
    // The median over 100 ms blocks: a machine busy with other work may drop
    // a cycle now and then, which should not count against the tone.
    const std::size_t block = std::size_t(rate / 10);
    const std::size_t total = interleaved.size() / channels;
    std::vector<double> amplitudes;
    for (std::size_t at = std::size_t(skipSeconds * rate); at + block <= total; at += block)
        amplitudes.push_back(blockAmplitude(interleaved.data() + at * channels, block, channels, channel, rate,
                                            frequency));
    if (amplitudes.empty())
        return 0;
    std::nth_element(amplitudes.begin(), amplitudes.begin() + std::ptrdiff_t(amplitudes.size() / 2),
                     amplitudes.end());
    return amplitudes[amplitudes.size() / 2];
}

// ---------------------------------------------------------------------------

std::vector<AudioObjectID> objectList(AudioObjectID object, AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope)
{
    const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    if (AudioObjectGetPropertyDataSize(object, &address, 0, nullptr, &size) != 0)
        return {};
    std::vector<AudioObjectID> ids(size / 4);
    if (ids.empty() || AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, ids.data()) != 0)
        return {};
    ids.resize(size / 4);
    return ids;
}

std::optional<std::string> stringProperty(AudioObjectID object, AudioObjectPropertySelector selector)
{
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    CFStringRef value = nullptr;
    std::uint32_t size = sizeof value;
    if (AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value) != 0 || !value)
        return std::nullopt;
    std::string text = CFStringGetUTF8(value);
    CFRelease(value);
    return text;
}

AudioObjectID deviceWithUID(const std::string& uid)
{
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyTranslateUIDToDevice,
                                             kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    CFReleaser<CFStringRef> string(CFStringCreateWithUTF8(uid));
    CFStringRef qualifier = string.get();
    AudioObjectID id = 0;
    std::uint32_t size = sizeof id;
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, sizeof qualifier, &qualifier, &size,
                                         &id),
              0);
    return id;
}

AudioObjectID defaultInputDevice()
{
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDefaultInputDevice,
                                             kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    AudioObjectID id = 0;
    std::uint32_t size = sizeof id;
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &id), 0);
    return id;
}

double nominalSampleRate(AudioObjectID device)
{
    const AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    double rate = 0;
    std::uint32_t size = sizeof rate;
    EXPECT_EQ(AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate), 0);
    return rate;
}

std::uint32_t inputChannels(AudioObjectID device)
{
    std::uint32_t total = 0;
    for (AudioObjectID stream : objectList(device, kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput)) {
        const AudioObjectPropertyAddress address{kAudioStreamPropertyVirtualFormat, kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        AudioStreamBasicDescription format{};
        std::uint32_t size = sizeof format;
        if (AudioObjectGetPropertyData(stream, &address, 0, nullptr, &size, &format) == 0)
            total += format.mChannelsPerFrame;
    }
    return total;
}

} // namespace PipeWireTest
