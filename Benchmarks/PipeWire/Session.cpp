#include "Session.h"

#include "VLMVirtualOutputDevice.h"

#include <spa/pod/builder.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

constexpr const char* kApplicationID = "com.tarnwick.velmora";
constexpr const char* kApplicationNode = "vlm-bench-application";
constexpr const char* kMicrophoneNode = "vlm-bench-microphone";
constexpr const char* kDrivingMicrophoneNode = "vlm-bench-driving-microphone";
constexpr const char* kDrivingMicrophoneClicker = "vlm-bench-driving-microphone-clicks";
constexpr const char* kSecondApplicationNode = "vlm-bench-second-application";
constexpr const char* kDrivingMicrophoneRecorder = "vlm-bench-driving-microphone-recorder";
constexpr const char* kRecorderNode = "vlm-bench-voice-chat";
constexpr const char* kLoopbackCapture = "vlm-bench-loopback-capture";
constexpr const char* kLoopbackPlayback = "vlm-bench-loopback-playback";
constexpr double kSessionManagerPauseSeconds = 3.0;

std::string script() { return std::string(VLM_SOURCE_DIR) + "/scripts/pipewire-test-server"; }

void connectClicker(pw_core* core, Clicker& clicker, std::uint32_t channels, pw_properties* props, bool autoconnect)
{
    std::uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_pod* params[1] = {PipeWireClient::floatFormat(builder, channels, kRate)};
    clicker.channels = channels;
    clicker.stream = pw_stream_new(core, "clicks", props);
    pw_stream_add_listener(clicker.stream, &clicker.hook, &Clicker::events, &clicker);
    pw_stream_connect(clicker.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      pw_stream_flags((autoconnect ? PW_STREAM_FLAG_AUTOCONNECT : 0) | PW_STREAM_FLAG_MAP_BUFFERS
                                      | PW_STREAM_FLAG_RT_PROCESS),
                      params, 1);
}

} // namespace

std::unique_ptr<Session> Session::start()
{
    std::unique_ptr<Session> session(new Session());
    char folder[] = "/tmp/vlm-pipewire-bench-XXXXXX";
    if (!mkdtemp(folder))
        return nullptr;
    session->directory_ = folder;
    if (std::system(("'" + script() + "' start '" + session->directory_ + "'").c_str()) != 0)
        return nullptr;
    setenv("PIPEWIRE_RUNTIME_DIR", (session->directory_ + "/runtime").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (session->directory_ + "/config").c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");

    session->mirror_ = std::make_unique<PipeWireClient::GraphMirror>();
    PipeWireClient::GraphMirror& mirror = *session->mirror_;
    if (!mirror.connected())
        return nullptr;
    pw_thread_loop_lock(mirror.loop());
    // The music application, played to the speakers by the session manager.
    connectClicker(mirror.core(), session->application_, 2,
                   pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                     PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_ID, kApplicationID, PW_KEY_APP_NAME,
                                     "Clicks", PW_KEY_NODE_NAME, kApplicationNode, nullptr),
                   true);
    // The microphone: a source that whoever records it drives.
    connectClicker(mirror.core(), session->microphone_, 1,
                   pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Source",
                                     PW_KEY_NODE_NAME, kMicrophoneNode, PW_KEY_NODE_DESCRIPTION,
                                     "Clicking Microphone", nullptr),
                   false);
    pw_thread_loop_unlock(mirror.loop());
    if (!mirror.waitForNode(kApplicationNode, true) || !mirror.waitForNode(kMicrophoneNode, true))
        return nullptr;

    if (!session->useMicrophone(Path::microphone))
        return nullptr;
    session->setRecording(true);
    if (!pollUntil([&] { return session->recorder_->quantum() > 0; }, 10.0))
        return nullptr;
    return session;
}

const char* Session::microphoneNode(Path path)
{
    return path == Path::drivingMicrophone ? kDrivingMicrophoneNode : kMicrophoneNode;
}

// The router routes the session's default microphone.
bool Session::useMicrophone(Path path)
{
    const std::string node = microphoneNode(path);
    const std::string expected = "\"name\":\"" + node + "\"";
    const std::string set = "pw-metadata 0 default.configured.audio.source '{ \"name\": \"" + node
                          + "\" }' Spa:String:JSON > /dev/null";
    return std::system(set.c_str()) == 0
        && pollUntil(
               [&] {
                   return commandOutput("pw-metadata -n default 0 default.audio.source").find(expected)
                       != std::string::npos;
               },
               10.0);
}

bool Session::setDrivingMicrophone(bool present)
{
    Clicker& clicks = drivingMicrophone_;
    if (!present) {
        microphoneRecorder_.reset();
        pw_thread_loop_lock(mirror_->loop());
        if (clicks.stream) {
            pw_stream_destroy(clicks.stream);
            clicks.stream = nullptr;
        }
        pw_thread_loop_unlock(mirror_->loop());
        commandOutput(std::string("pw-cli destroy ") + kDrivingMicrophoneNode);
        return mirror_->waitForNode(kDrivingMicrophoneNode, false);
    }
    // As Audio/Source/Virtual, as the virtual device: WirePlumber gives such a
    // null sink capture ports, where as Audio/Source it keeps only its inputs.
    const std::string create = std::string("pw-cli create-node adapter '{ factory.name=support.null-audio-sink "
                                           "node.name=")
                             + kDrivingMicrophoneNode
                             + " node.description=\"Driving Microphone\" media.class=Audio/Source/Virtual "
                               "audio.channels=1 audio.position=[ MONO ] node.driver=true priority.driver=2000 "
                               "object.linger=true adapter.auto-port-config={ mode=dsp monitor=true "
                               "position=preserve } }' > /dev/null";
    if (std::system(create.c_str()) != 0 || !mirror_->waitForNode(kDrivingMicrophoneNode, true))
        return false;
    pw_thread_loop_lock(mirror_->loop());
    connectClicker(mirror_->core(), clicks, 1,
                   pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_NODE_NAME,
                                     kDrivingMicrophoneClicker, nullptr),
                   false);
    pw_thread_loop_unlock(mirror_->loop());
    ImpulseDetector* detector = &microphoneDetector_;
    microphoneRecorder_ = std::make_unique<PipeWireClient::CaptureStream>(
        kDrivingMicrophoneNode, false, kDrivingMicrophoneRecorder,
        [detector](const float* in, std::uint32_t frames, std::int64_t cycleNsec) {
            detector->listen(in, frames, cycleNsec);
        });
    return mirror_->waitForNode(kDrivingMicrophoneClicker, true)
        && mirror_->link(kDrivingMicrophoneClicker, "MONO", kDrivingMicrophoneNode, "MONO");
}

bool Session::startMusicApplication(bool linkToLoopback)
{
    pw_thread_loop_lock(mirror_->loop());
    connectClicker(mirror_->core(), secondApplication_, 2,
                   pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                     PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_ID, kApplicationID, PW_KEY_APP_NAME,
                                     "Silence", PW_KEY_NODE_NAME, kSecondApplicationNode, nullptr),
                   true);
    pw_thread_loop_unlock(mirror_->loop());
    if (!linkToLoopback)
        return mirror_->waitForNode(kSecondApplicationNode, true);
    return mirror_->link(kSecondApplicationNode, "FL", kLoopbackCapture, "FL")
        && mirror_->link(kSecondApplicationNode, "FR", kLoopbackCapture, "FR");
}

void Session::endMusicApplication()
{
    pw_thread_loop_lock(mirror_->loop());
    // Its process callback reads the stream until the destroy returns.
    if (secondApplication_.stream) {
        pw_stream_destroy(secondApplication_.stream);
        secondApplication_.stream = nullptr;
    }
    pw_thread_loop_unlock(mirror_->loop());
    mirror_->waitForNode(kSecondApplicationNode, false);
}

void Session::setMusicPlaying(bool playing)
{
    pw_thread_loop_lock(mirror_->loop());
    pw_stream_set_active(application_.stream, playing);
    pw_thread_loop_unlock(mirror_->loop());
}

Session::~Session()
{
    recorder_.reset();
    if (mirror_) {
        pw_thread_loop_lock(mirror_->loop());
        for (Clicker* clicker : {&secondApplication_, &drivingMicrophone_, &microphone_, &application_})
            if (clicker->stream)
                pw_stream_destroy(clicker->stream);
        pw_thread_loop_unlock(mirror_->loop());
    }
    mirror_.reset();
    // A server left behind is reported; a destructor has no one to tell.
    if (!directory_.empty()
        && std::system(("'" + script() + "' stop '" + directory_ + "' && rm -rf '" + directory_ + "'").c_str()) != 0)
        std::fprintf(stderr, "the benchmark's server in %s did not stop cleanly\n", directory_.c_str());
}

void Session::setRecording(bool recording)
{
    recorder_.reset();
    if (!recording)
        return;
    ImpulseDetector* detector = &detector_;
    RampWatch* ramp = &rampWatch_;
    recorder_ = std::make_unique<PipeWireClient::CaptureStream>(
        VLMVirtualOutputDevice::deviceUID, false, kRecorderNode,
        [detector, ramp](const float* in, std::uint32_t frames, std::int64_t cycleNsec) {
            detector->listen(in, frames, cycleNsec);
            ramp->listen(in, frames, cycleNsec);
        });
}

const char* Session::recorderNode() const { return kRecorderNode; }

pid_t Session::serverPID() const
{
    return pid_t(std::strtol(commandOutput("cat '" + directory_ + "/pipewire.pid'").c_str(), nullptr, 10));
}

bool Session::setQuantum(std::uint32_t quantum)
{
    const std::string set = "pw-metadata -n settings 0 clock.force-quantum " + std::to_string(quantum) + " > /dev/null";
    return std::system(set.c_str()) == 0 && pollUntil([&] {
               return application_.quantum.load() == quantum && recorder_->quantum() == quantum;
           }, 10.0);
}

// Links pw-loopback as the program's router is linked: its capture side to
// the application's outputs and to the microphone's (the program captures
// both; without the application the virtual device would drive the group,
// and a null sink that drives offers its input at its output one cycle
// later), its playback side to the virtual device's inputs.
bool Session::linkLoopback(Path path)
{
    const std::string device = VLMVirtualOutputDevice::deviceUID;
    const std::string microphone = microphoneNode(path);
    PipeWireClient::GraphMirror& g = *mirror_;
    return g.link(kApplicationNode, "FL", kLoopbackCapture, "FL") && g.link(kApplicationNode, "FR", kLoopbackCapture, "FR")
        && g.link(microphone, "MONO", kLoopbackCapture, "FL")
        && g.link(microphone, "MONO", kLoopbackCapture, "FR") && g.link(kLoopbackPlayback, "FL", device, "FL")
        && g.link(kLoopbackPlayback, "FR", device, "FR");
}

Process Session::startRouting(bool program, Path path, bool slowSessionManager, Window window)
{
    Process p;
    {
        std::unique_ptr<PipeWireClient::SessionManagerPause> pause;
        if (slowSessionManager)
            pause = std::make_unique<PipeWireClient::SessionManagerPause>(directory_ + "/wireplumber.pid");
        p = program ? spawnRouter(directory_, window)
                    : spawnLoopback(kLoopbackCapture, kLoopbackPlayback, directory_ + "/pw-loopback.log");
        if (pause)
            sleepSeconds(kSessionManagerPauseSeconds);
    }
    const bool ready = p.pid > 0 && (program ? routerSaysReady(p, 20.0) : linkLoopback(path));
    if (!ready)
        finish(p);
    return p;
}

void Session::endRouting(Process& process, bool program)
{
    finish(process);
    if (!program)
        mirror_->waitForNode(kLoopbackPlayback, false);
    sleepSeconds(0.2);  // the graph settles without the process
}

} // namespace bench
