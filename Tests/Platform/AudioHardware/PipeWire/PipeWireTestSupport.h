#pragma once
// What the tests against a real PipeWire server share: the private server
// itself (started once per test program by a global environment), test
// applications and microphones that play tones from their own connections, a
// recorder, and tone measurement.

#include "AudioHardware/AudioHardware.h"

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace PipeWireTest {

// The private server's folder; its configuration home is `<dir>/config`.
const std::string& serverDirectory();
// Runs a shell command with the private server's environment; its exit status.
int run(const std::string& command);
// Sets the session's configured default input to the node named `nodeName`
// and waits until the session has made it the default input.
bool setDefaultInput(const std::string& nodeName);

struct ToneOptions {
    double frequency = 440.0;
    float amplitude = 0.2f;
    std::uint32_t channels = 2;
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

// Records a node (a sink's monitor when `monitorOfSink`) as stereo float at
// 48 kHz into memory, from its own connection.
class Recorder {
public:
    Recorder(const std::string& targetNodeName, bool monitorOfSink, double seconds = 8.0);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    std::size_t frames() const;
    // The recording so far, interleaved stereo.
    std::vector<float> samples() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Collects what an IOProc delivers, without allocating on the IO thread:
// the first two channels of the first input buffer, interleaved.
class CaptureBuffer {
public:
    explicit CaptureBuffer(double seconds = 8.0, double rate = 48000.0);
    void write(const AudioBufferList* input);
    std::size_t frames() const { return frames_.load(std::memory_order_acquire); }
    std::uint32_t channels() const { return channels_.load(); }
    std::vector<float> samples() const;
    AudioDeviceIOBlock block();

private:
    std::vector<float> buffer_;
    std::atomic<std::size_t> frames_{0};
    std::atomic<std::uint32_t> channels_{0};
};

// The peak amplitude of the sine of `frequency` in one channel of an
// interleaved recording, after the first `skipSeconds`: the median of its
// amplitudes in 100 ms blocks.
double toneAmplitude(const std::vector<float>& interleaved, std::uint32_t channels, std::uint32_t channel,
                     double rate, double frequency, double skipSeconds = 0.25);

// Property reads through the platform calls.
std::vector<AudioObjectID> objectList(AudioObjectID object, AudioObjectPropertySelector selector,
                                      AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);
std::optional<std::string> stringProperty(AudioObjectID object, AudioObjectPropertySelector selector);
AudioObjectID deviceWithUID(const std::string& uid);
AudioObjectID defaultInputDevice();
double nominalSampleRate(AudioObjectID device);
std::uint32_t inputChannels(AudioObjectID device);

} // namespace PipeWireTest
