// velmora-studio-connect-run: runs the program for a few seconds, usually
// offscreen on the simulated audio system, and measures it. It leaves in the
// output folder a screenshot of the window and, on the simulated system, a WAV
// of what reached the virtual device, and prints the time from process start
// to the first painted frame and the CPU used once start-up is over.
//
//   velmora-studio-connect-run --output DIR [--seconds N] [program arguments]
//
// VLM_LAUNCH_TIME_NS (wall clock, from `date +%s%N`) lets the launcher's own
// start count towards the first frame.

#include "VLMAppDelegate.h"
#include "VLMApplicationMain.h"
#include "VLMFlippedView.h"
#include "VLMMainViewController.h"
#include "VLMMainWindowController.h"
#include "VLMVirtualOutputDevice.h"

#include "AudioHardware/AudioHardwareBackend.h"
#include "SimulatedAudioSystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QMainWindow>
#include <QPixmap>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

double secondsOfClock(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double mainThreadProcessorSeconds()
{
    return secondsOfClock(CLOCK_THREAD_CPUTIME_ID);
}

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& value) {
        return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Seconds since this process started: from the launcher's time stamp when
// it gave one (VLM_LAUNCH_TIME_NS, wall clock), else from the kernel's start
// time of the process, to a hundredth of a second.
std::optional<double> secondsSinceProcessStart()
{
    if (const char* stamp = std::getenv("VLM_LAUNCH_TIME_NS"))
        return secondsOfClock(CLOCK_REALTIME) - std::strtod(stamp, nullptr) / 1e9;
    std::ifstream stat("/proc/self/stat");
    std::string line;
    if (!std::getline(stat, line))
        return std::nullopt;
    // Fields after the command name, which ends at the last ')'.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index)
        if (index == 22)
            return secondsOfClock(CLOCK_BOOTTIME) - std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return std::nullopt;
}

// Watches the running program and writes what it measured when the time is up.
class ProgramRun : public QObject {
public:
    ProgramRun(VLMAppDelegate& delegate, QString directory, double seconds)
        : QObject(&delegate), delegate_(delegate), directory_(std::move(directory)), seconds_(seconds)
    {
    }

    void start()
    {
        // The content view paints the frame the user sees.
        delegate_.mainWindowController()->mainViewController().view()->installEventFilter(this);
        // CPU is measured once start-up is over, for the rest of the run.
        QTimer::singleShot(1000, this, [this] {
            cpuStart_ = processorSeconds();
            mainThreadCPUStart_ = mainThreadProcessorSeconds();
            wallStart_ = secondsOfClock(CLOCK_MONOTONIC);
        });
        QTimer::singleShot(static_cast<int>(seconds_ * 1000), this, [this] { finish(); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !firstPaintSeen_) {
            firstPaintSeen_ = true;
            // Runs right after this paint pass, when the frame is complete.
            QTimer::singleShot(0, this, [this] { firstFrame_ = secondsSinceProcessStart(); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void finish()
    {
        QDir().mkpath(directory_);
        const double cpu = processorSeconds() - cpuStart_;
        const double mainThreadCPU = mainThreadProcessorSeconds() - mainThreadCPUStart_;
        const double wall = secondsOfClock(CLOCK_MONOTONIC) - wallStart_;

        const QString screenshot = QDir(directory_).filePath(QStringLiteral("window.png"));
        delegate_.mainWindowController()->window()->grab().save(screenshot);
        std::printf("Screenshot of the window: %s\n", qPrintable(screenshot));

        auto simulated = std::dynamic_pointer_cast<SimulatedAudioSystem>(AudioHardwareCurrentBackend());
        std::optional<AudioObjectID> device;
        if (simulated)
            device = simulated->deviceWithUID(VLMVirtualOutputDevice::deviceUID);
        if (device) {
            const QString recording = QDir(directory_).filePath(QStringLiteral("virtual-device.wav"));
            if (simulated->writeRecordedOutput(*device, recording.toStdString()))
                std::printf("What reached the virtual device: %s\n", qPrintable(recording));
        }
        if (firstFrame_)
            std::printf("First frame painted %.0f ms after the process started\n", *firstFrame_ * 1000);
        if (wall > 0) {
            std::printf("CPU while running: %.2f%% of one core over %.1f s (the whole process)\n", 100 * cpu / wall,
                        wall);
            std::printf("CPU of the main thread (window, meters, event loop): %.2f%% of one core\n",
                        100 * mainThreadCPU / wall);
        }
        std::fflush(stdout);
        QCoreApplication::quit();
    }

    VLMAppDelegate& delegate_;
    QString directory_;
    double seconds_;
    bool firstPaintSeen_ = false;
    std::optional<double> firstFrame_;
    double cpuStart_ = 0;
    double mainThreadCPUStart_ = 0;
    double wallStart_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QString directory;
    double seconds = 5.0;
    // The tool's own options come first; the rest is the program's.
    std::vector<char*> programArguments{argv[0]};
    int index = 1;
    for (; index + 1 < argc; index += 2) {
        if (std::strcmp(argv[index], "--output") == 0)
            directory = QString::fromLocal8Bit(argv[index + 1]);
        else if (std::strcmp(argv[index], "--seconds") == 0)
            seconds = std::strtod(argv[index + 1], nullptr);
        else
            break;
    }
    if (directory.isEmpty()) {
        std::fprintf(stderr, "usage: %s --output DIR [--seconds N] [program arguments]\n", argv[0]);
        return 2;
    }
    if (!(seconds > 0))
        seconds = 5.0;
    programArguments.insert(programArguments.end(), argv + index, argv + argc);
    programArguments.push_back(nullptr);
    int programArgc = static_cast<int>(programArguments.size()) - 1;

    VLMApplicationRun run;
    // A measured run stands alone, beside any running instance.
    run.standalone = true;
    run.didFinishLaunching = [directory, seconds](VLMAppDelegate& delegate) {
        (new ProgramRun(delegate, directory, seconds))->start();
    };
    return VLMApplicationMain(programArgc, programArguments.data(), run);
}
