#include "Processes.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bench {

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

Process spawnLoopback(const char* captureNode, const char* playbackNode, const std::string& log)
{
    const std::string capture = std::string("{ node.name=") + captureNode + " node.autoconnect=false }";
    const std::string playback = std::string("{ node.name=") + playbackNode + " node.autoconnect=false }";
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

namespace {

// This program again with `arguments`, its stdin and stdout piped to us.
Process spawnSelf(std::initializer_list<const char*> arguments)
{
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0)
        return {};
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return {};
    }
    std::vector<const char*> argv{"/proc/self/exe"};
    argv.insert(argv.end(), arguments);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    Process p;
    if (posix_spawn(&p.pid, "/proc/self/exe", &actions, nullptr, const_cast<char**>(argv.data()), environ) != 0)
        p.pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    p.input = toChild[1];
    p.output = fromChild[0];
    return p;
}

} // namespace

Process spawnRouter(const std::string& serverDirectory, Window window)
{
    const char* windowArgument = window == Window::shown ? "shown" : window == Window::closed ? "closed" : "none";
    return spawnSelf({"--route", serverDirectory.c_str(), windowArgument});
}

Process spawnFrameClock(int milliseconds)
{
    const std::string interval = std::to_string(milliseconds);
    return spawnSelf({"--frame-clock", interval.c_str()});
}

bool routerSaysReady(Process& p, double seconds)
{
    char line[16] = {};
    pollfd ready{p.output, POLLIN, 0};
    return p.pid > 0 && poll(&ready, 1, int(seconds * 1000)) == 1 && read(p.output, line, sizeof line - 1) > 0
        && std::strncmp(line, "ready", 5) == 0;
}

} // namespace bench
