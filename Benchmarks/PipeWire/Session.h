#pragma once
// The benchmark's private PipeWire server and its own clients there: a music
// application (application.id com.tarnwick.velmora) that plays to the
// speakers, a microphone (a stream with media.class Audio/Source, made the
// session's default input), both silent or clicking, and a recorder of the
// virtual device as a voice-chat application has it: a capture stream aimed
// at the device with target.object and linked by the session manager, linking
// nothing itself, so the graph keeps the driver groups the routing alone makes.

#include "Clicks.h"
#include "GraphMirror.h"
#include "Processes.h"

#include <memory>
#include <string>

namespace bench {

// What pw-loopback carries: the music application or the microphone.
enum class Path { application, microphone };

class Session {
public:
    // Starts the private server and the clients; null when anything fails.
    static std::unique_ptr<Session> start();
    ~Session();  // stops the server

    const std::string& serverDirectory() const { return directory_; }
    pid_t serverPID() const;
    Clicker& application() { return application_; }
    Clicker& microphone() { return microphone_; }
    Clicker& source(Path path) { return path == Path::application ? application_ : microphone_; }
    const StampLog& heard() const { return detector_.heard(); }
    PipeWireClient::GraphMirror& mirror() { return *mirror_; }

    // Pauses or resumes the music application (its links stay).
    void setMusicPlaying(bool playing);

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
    ImpulseDetector detector_;
    std::unique_ptr<PipeWireClient::CaptureStream> recorder_;
};

} // namespace bench
