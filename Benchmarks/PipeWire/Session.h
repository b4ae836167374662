#pragma once
// The benchmark's private PipeWire server and its own clients there: a music
// application (application.id com.tarnwick.velmora) that plays to the
// speakers, a microphone (a stream with media.class Audio/Source, made the
// session's default input), both silent or clicking, and a recorder of the
// virtual device as a voice-chat application has it: a capture stream aimed
// at the device with target.object and linked by the session manager, linking
// nothing itself, so the graph keeps the driver groups the routing alone makes.
// On request a second microphone that drives its graph, as a sound card's
// does: a null sink with ALSA's priority.driver for capture, offered as a
// source, that a clicking stream plays into. A driving null sink hands on
// what it got one cycle later, so this microphone's own delay is a quantum:
// a recorder of the microphone itself measures it.

#include "Clicks.h"
#include "GraphMirror.h"
#include "Processes.h"

#include <memory>
#include <string>

namespace bench {

// What pw-loopback carries: the music application or a microphone.
enum class Path { application, microphone, drivingMicrophone };

class Session {
public:
    // Starts the private server and the clients; null when anything fails.
    static std::unique_ptr<Session> start();
    ~Session();  // stops the server

    const std::string& serverDirectory() const { return directory_; }
    pid_t serverPID() const;
    Clicker& application() { return application_; }
    Clicker& microphone() { return microphone_; }
    Clicker& source(Path path)
    {
        return path == Path::application ? application_ : path == Path::microphone ? microphone_ : drivingMicrophone_;
    }
    const StampLog& heard() const { return detector_.heard(); }
    const RampWatch& rampHeard() const { return rampWatch_; }
    // The clicks at the driving microphone's own output.
    const StampLog& heardAtDrivingMicrophone() const { return microphoneDetector_.heard(); }
    PipeWireClient::GraphMirror& mirror() { return *mirror_; }

    // Pauses or resumes the music application (its links stay).
    void setMusicPlaying(bool playing);

    // Starts or ends a second music application (silent), as a player that
    // opens and closes its stream: the session manager links it to the
    // speakers, the program's tap to the program; for pw-loopback this links
    // it as the tap would.
    bool startMusicApplication(bool linkToLoopback);
    void endMusicApplication();

    // Adds or removes the driving microphone (only its own cases pay for it).
    bool setDrivingMicrophone(bool present);
    // The node name of the microphone `path` carries.
    static const char* microphoneNode(Path path);
    // Makes the microphone `path` carries the session's default input, which
    // the program routes.
    bool useMicrophone(Path path);

    // Ends or starts again the voice-chat recorder.
    void setRecording(bool recording);
    const char* recorderNode() const;

    // Forces the graph's quantum and waits until the clients run at it.
    bool setQuantum(std::uint32_t quantum);

    // Starts pw-loopback (linked as the program is) or the program, ready to
    // measure; with `slowSessionManager`, WirePlumber is stopped from just
    // before the start until 3 s later. Not running (pid 0) when it failed.
    Process startRouting(bool program, Path path, bool slowSessionManager, Window window = Window::none);
    // Ends it and lets the graph settle without it.
    void endRouting(Process& process, bool program);

private:
    Session() = default;
    bool linkLoopback(Path path);

    std::string directory_;
    std::unique_ptr<PipeWireClient::GraphMirror> mirror_;
    Clicker application_;
    Clicker microphone_;
    Clicker drivingMicrophone_;
    Clicker secondApplication_;
    ImpulseDetector detector_;
    RampWatch rampWatch_;
    std::unique_ptr<PipeWireClient::CaptureStream> recorder_;
    ImpulseDetector microphoneDetector_;
    std::unique_ptr<PipeWireClient::CaptureStream> microphoneRecorder_;
};

} // namespace bench
