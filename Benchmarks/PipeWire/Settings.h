#pragma once
// The run's command-line settings and its one session (main.cpp sets them).

namespace bench {

class Session;

struct Settings {
    int starts = 10;       // --starts=N: routing processes per latency case
    int rounds = 8;        // --rounds=N: alternating rounds per CPU case
    double settle = 5.0;   // --settle=S: seconds before a CPU window
    double measure = 20.0; // --measure=S: seconds of a CPU window
    int soakMinutes = 0;   // --soak-minutes=M adds SoakBothPaths
};

Settings& settings();
Session& session();

} // namespace bench
