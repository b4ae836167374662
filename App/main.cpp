// The process entry. One instance runs per user: a later start hands its
// arguments (the URLs the desktop opens with the program, or none for a
// click on its launcher) to the running instance and exits.
//
// VLM_AUDIO_SYSTEM chooses the audio system (simulated: a demonstration with
// made-up devices and a music app). VLM_CAPTURE_DIR runs the program for a
// few seconds (VLM_CAPTURE_SECONDS, default 5) and leaves there a screenshot
// of the window and, on the simulated system, a WAV of what reached the
// virtual device; it prints the start-up time and the CPU used. It is for
// machines without a display and for measuring.

#include "VLMAppDelegate.h"
#include "VLMAudioRouter.h"
#include "VLMMainWindowController.h"
#include "VLMVirtualOutputDevice.h"

#include "AudioHardware/AudioHardwareBackend.h"
#include "AudioHardware/AudioSystemSelection.h"
#include "SimulatedAudioSystem.h"
#include "UI/SingleApplicationInstance.h"
#include "UI/WindowActivation.h"

#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QPixmap>
#include <QTimer>
#include <QUrl>

#include <QSocketNotifier>

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace {

QList<QUrl> urlsFromArguments(const QStringList& arguments)
{
    QList<QUrl> urls;
    for (const QString& argument : arguments) {
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty())
            urls.append(url);
    }
    return urls;
}

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

// The headless run of VLM_CAPTURE_DIR.
class CaptureRun : public QObject {
public:
    CaptureRun(VLMAppDelegate& delegate, QString directory, double seconds)
        : delegate_(delegate), directory_(std::move(directory)), seconds_(seconds)
    {
    }

    void start()
    {
        QMainWindow* window = delegate_.mainWindowController()->window();
        window->centralWidget()->installEventFilter(this);
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

// The session ends a program with SIGTERM (SIGINT from a terminal): that
// becomes an ordinary quit, so termination stops the audio as it should. The
// handler only writes a byte; the event loop does the rest.
int terminationSocket[2] = {-1, -1};

void requestTermination(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(terminationSocket[0], &byte, 1);
}

void quitOnTerminationSignals(QObject* context)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, terminationSocket) != 0)
        return;
    auto* notifier = new QSocketNotifier(terminationSocket[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t read = ::read(terminationSocket[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = requestTermination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    const QString activationToken = ActivationTokenFromEnvironment();
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("tarnwick"));
    QCoreApplication::setApplicationName(QStringLiteral("velmora-studio-connect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VLM_VERSION));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Velmora Studio Connect"));
    // Closing the window leaves the program running with its status item.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString captureDirectory = qEnvironmentVariable("VLM_CAPTURE_DIR");
    const QStringList arguments = QCoreApplication::arguments().mid(1);

    // A capture run stands alone, beside any running instance.
    SingleApplicationInstance instance(SingleApplicationInstance::defaultServerName());
    if (captureDirectory.isEmpty() && !instance.listen()) {
        if (SingleApplicationInstance::sendToRunningInstance(SingleApplicationInstance::defaultServerName(), arguments,
                                                             2000, activationToken))
            return 0;
    }

    AudioHardwareInstallBackend(makeAudioSystemFromEnvironment());

    auto delegate = std::make_unique<VLMAppDelegate>();
    quitOnTerminationSignals(delegate.get());
    QObject::connect(&application, &QCoreApplication::aboutToQuit, delegate.get(),
                     [&delegate] { delegate->applicationWillTerminate(); });
    QObject::connect(&instance, &SingleApplicationInstance::argumentsReceived, delegate.get(),
                     [&delegate](const QStringList& received, const QString& token) {
                         SetPendingActivationToken(token);
                         const QList<QUrl> urls = urlsFromArguments(received);
                         if (urls.isEmpty()) {
                             delegate->applicationShouldHandleReopen(VLMAppDelegate::hasVisibleWindows());
                             // A click on the launcher activates the program, as
                             // the dock does elsewhere: a covered window comes
                             // forward.
                             if (VLMMainWindowController* controller = delegate->mainWindowController();
                                 controller && controller->window()->isVisible())
                                 ActivateWindow(controller->window());
                         } else {
                             delegate->applicationOpenURLs(urls);
                         }
                         SetPendingActivationToken({});
                     });

    std::unique_ptr<CaptureRun> capture;
    QTimer::singleShot(0, delegate.get(), [&] {
        delegate->applicationDidFinishLaunching();
        const QList<QUrl> urls = urlsFromArguments(arguments);
        if (!urls.isEmpty())
            delegate->applicationOpenURLs(urls);
        if (!captureDirectory.isEmpty()) {
            const double seconds = qEnvironmentVariableIsSet("VLM_CAPTURE_SECONDS")
                                       ? qEnvironmentVariable("VLM_CAPTURE_SECONDS").toDouble()
                                       : 5.0;
            capture = std::make_unique<CaptureRun>(*delegate, captureDirectory, seconds > 0 ? seconds : 5.0);
            capture->start();
        }
    });

    const int status = QApplication::exec();
    capture.reset();
    delegate.reset();
    AudioHardwareInstallBackend(nullptr);
    return status;
}
