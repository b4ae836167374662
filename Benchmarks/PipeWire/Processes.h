#pragma once
// The processes that route, started and ended by the benchmark: pw-loopback
// as the reference, and this program again as the router (RouterProcess.cpp).

#include "Support/CommandOutput.h"

#include <sys/types.h>

#include <functional>
#include <string>

namespace bench {

// The text a shell command prints (shared with the tests).
using ::commandOutput;
// Polls `condition` until it holds or `seconds` pass. Used for waits on the
// audio itself and on other processes, which only time can bring.
bool pollUntil(const std::function<bool()>& condition, double seconds);
void sleepSeconds(double seconds);

struct Process {
    pid_t pid = 0;
    int input = -1;   // the router's stdin: it quits when this closes
    int output = -1;  // the router's stdout: it says "ready" there
};

// Ends a process: closing its input first (the router quits on that), then
// SIGTERM, then SIGKILL.
void finish(Process& p);

// pw-loopback with both sides unlinked (node.autoconnect=false), named
// `captureNode` and `playbackNode`; its output goes to `log`.
Process spawnLoopback(const char* captureNode, const char* playbackNode, const std::string& log);

// How the router process shows the program's window.
enum class Window { none, shown, closed };

// This program again, as the router on the server in `serverDirectory`.
Process spawnRouter(const std::string& serverDirectory, Window window);
// True once the router says it is routing (within `seconds`).
bool routerSaysReady(Process& p, double seconds);

// The router's side (argv: program, "--route", server folder, window); runs until its input closes.
int route(int argc, char** argv);

// The cost of a frame clock alone: a Qt window the size of the program's,
// shown on the offscreen platform, and a timer every `milliseconds` that
// does nothing. The floor under any meter that moves at that rate.
Process spawnFrameClock(int milliseconds);
// Its side (argv: program, "--frame-clock", milliseconds); runs until its input closes.
int frameClock(int argc, char** argv);

} // namespace bench
