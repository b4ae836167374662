#pragma once
// What the tests against a real PipeWire server share: the private server
// itself (started once per test process by a global environment), test
// applications and microphones that play tones from their own connections,
// a recorder, a metadata client and a way
// to pause the session manager. Tones are measured by Support/ToneAnalysis.h.

#include "AudioHardware/AudioHardware.h"
#include "Support/PipeWireClient.h"
#include "Support/ToneAnalysis.h"
#include "VLMAudioHardware.h"

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace PipeWireTest {

// The private server's folder; its configuration home is `<dir>/config`.
const std::string& serverDirectory();
// Stops the private server and its session manager, or starts them afresh
// (with the virtual device installed), as a package update or a user would.
bool stopServer();
bool startServer();
// Runs a shell command with the private server's environment; its exit status.
int run(const std::string& command);
// Sets the session's configured default input to the node named `nodeName`
// and waits until the session has made it the default input.
bool setDefaultInput(const std::string& nodeName);

struct ToneOptions {
    double frequency = 440.0;
    float amplitude = 0.2f;
    std::uint32_t channels = 2;
    // One per channel, each channel a tone of its own; empty: `frequency` on all.
    std::vector<double> channelFrequencies;
    std::map<std::string, std::string> properties;  // added to the stream's node
};

// A PipeWire client of its own that plays a sine: either an application
// stream (linked by the session manager to the speakers) or, when its
// properties say media.class=Audio/Source, a microphone.
class ToneSource {
public:
    explicit ToneSource(ToneOptions options);
    ~ToneSource();
    ToneSource(const ToneSource&) = delete;
    ToneSource& operator=(const ToneSource&) = delete;

    // True once the server runs the stream (a microphone: once it exists).
    bool waitUntilReady();

    static std::unique_ptr<ToneSource> application(const std::string& applicationID, double frequency,
                                                   float amplitude = 0.2f);
    static std::unique_ptr<ToneSource> microphone(const std::string& nodeName, const std::string& description,
                                                  double frequency, float amplitude = 0.25f,
                                                  std::uint32_t channels = 1);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// A PipeWire client of its own that binds metadata objects by name, as tools
// and other programs do. Every wait is bounded (10 s).
class MetadataClient {
public:
    // Connects and learns which metadata objects there are.
    MetadataClient();
    ~MetadataClient();
    MetadataClient(const MetadataClient&) = delete;
    MetadataClient& operator=(const MetadataClient&) = delete;

    // Binds the metadata named `name` and waits until its values are here.
    bool bind(const std::string& name);
    // Sets `key` (subject 0) on a bound metadata and waits until the server
    // has handled it: for the session manager's metadata, passed it on.
    bool set(const std::string& name, const std::string& key, const std::string& value,
             const std::string& type = "");
    // What this client has heard of `key`; empty when nothing.
    std::string value(const std::string& name, const std::string& key) const;
    bool waitForValue(const std::string& name, const std::string& key, const std::string& value);

    // Sets `markerKey` to `markerValue` on the bound metadata `markerName`
    // and binds the metadata `name`, both in one batch that the server handles
    // at once; does not wait. Whoever sees the marker knows the server has
    // handled the binding too.
    void markThenBind(const std::string& markerName, const std::string& markerKey, const std::string& markerValue,
                      const std::string& name);
    // Waits until the binding started by markThenBind has all its values.
    bool waitUntilBound(const std::string& name);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Stops the session manager (WirePlumber) until destroyed; it then resumes
// and handles everything that reached it meanwhile, in order.
struct SessionManagerPause : PipeWireClient::SessionManagerPause {
    SessionManagerPause();
};

// A mono microphone in a process of its own (pw-cat playing a minute of a
// tone as an Audio/Source), which a test can freeze as a hung client is.
class ProcessMicrophone {
public:
    ProcessMicrophone(const std::string& nodeName, double frequency, float amplitude);
    ~ProcessMicrophone();  // ends the process
    ProcessMicrophone(const ProcessMicrophone&) = delete;
    ProcessMicrophone& operator=(const ProcessMicrophone&) = delete;
    bool started() const { return pid_ > 0; }

    // Stops every thread of it (SIGSTOP); true once they all are.
    bool freeze();
    void thaw();

private:
    int pid_ = 0;
};

// Collects what an IOProc delivers, without allocating on the IO thread:
// the first two channels of the input, counted across its buffers, interleaved.
class CaptureBuffer {
public:
    explicit CaptureBuffer(double seconds = 8.0, double rate = 48000.0);
    void write(const AudioBufferList* input);
    // Appends `frames` frames of two channels, each its stride of samples apart.
    void append(const float* left, std::uint32_t leftStride, const float* right, std::uint32_t rightStride,
                std::size_t frames);
    std::size_t frames() const { return frames_.load(std::memory_order_acquire); }
    std::uint32_t channels() const { return channels_.load(); }
    std::vector<float> samples() const;
    AudioDeviceIOBlock block();

private:
    std::vector<float> buffer_;
    std::atomic<std::size_t> frames_{0};
    std::atomic<std::uint32_t> channels_{0};
};

// Records a node (a sink's monitor when `monitorOfSink`) as stereo float at
// 48 kHz into memory, from its own connection.
class Recorder : public CaptureBuffer {
public:
    Recorder(const std::string& targetNodeName, bool monitorOfSink, double seconds = 8.0);

private:
    PipeWireClient::CaptureStream stream_;
};

// What the program does to capture applications: a tap on their bundle identifiers, wrapped in a
// private aggregate device, read through an IOProc into `buffer`; checks the tap's format.
struct RunningTap {
    AudioObjectID tap = 0, aggregate = 0;
    AudioDeviceIOProcID ioProc = nullptr;
};
RunningTap startTap(CaptureBuffer& buffer, std::vector<std::string> bundleIDs);
void stopTap(const RunningTap& tap);

// What another PipeWire client sees and does, from a connection of its own
// that never waits for the session manager: the ids of the globals of `type`
// (PW_TYPE_INTERFACE_Node, ...) whose property `key` is `value`; a global
// destroyed, as `pw-cli destroy` does; a node made by `factory` that stays
// after the connection (object.linger), as `pw-cli create-node` does.
std::vector<std::uint32_t> globalsWhere(const char* type, const std::string& key, const std::string& value);
bool destroyGlobal(std::uint32_t id);
bool createLingeringNode(const std::string& factory, const std::map<std::string, std::string>& properties);

// Property reads through the program's own queries (VLMAudioHardware), which
// throw VLMAudioError where a call fails.
std::vector<AudioObjectID> objectList(AudioObjectID object, AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);
// The device with `uid`, or kAudioObjectUnknown (also while no server answers).
AudioObjectID deviceWithUID(const std::string& uid);

} // namespace PipeWireTest
