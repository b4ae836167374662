// The process entry, shared by the program and the tool that measures it.
// One instance runs per user: a later start hands its arguments (the URLs
// the desktop opens with the program, or none for a click on its launcher)
// to the running instance and exits.
//
// VLM_AUDIO_SYSTEM chooses the audio system (simulated: a demonstration with
// made-up devices and a music app).

#include "VLMApplicationMain.h"

#include "VLMAppDelegate.h"
#include "VLMLoginItem.h"

#include "AudioHardware/AudioHardwareBackend.h"
#include "AudioHardware/AudioSystemSelection.h"
#include "UI/SingleApplicationInstance.h"
#include "UI/WindowActivation.h"

#include <QApplication>
#include <QMainWindow>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

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

int VLMApplicationMain(int argc, char** argv, const VLMApplicationRun& run)
{
    const QString activationToken = ActivationTokenFromEnvironment();
    const bool startedAtLogin = VLMLoginItem::takeStartedAtLoginMark();
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("tarnwick"));
    QCoreApplication::setApplicationName(QStringLiteral("velmora-studio-connect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VLM_VERSION));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Velmora Studio Connect"));
    // Closing the window leaves the program running with its status item
    // (the delegate quits where there is none).
    QApplication::setQuitOnLastWindowClosed(false);

    const QStringList arguments = QCoreApplication::arguments().mid(1);

    // Without a private place for the socket the program runs on its own.
    const QString serverName = SingleApplicationInstance::defaultServerName();
    SingleApplicationInstance instance(serverName);
    if (!run.standalone && !serverName.isEmpty() && !instance.listen()) {
        if (SingleApplicationInstance::sendToRunningInstance(serverName, arguments, 2000, activationToken))
            return 0;
    }

    AudioHardwareInstallBackend(makeAudioSystemFromEnvironment());

    auto delegate = std::make_unique<VLMAppDelegate>();
    quitOnTerminationSignals(delegate.get());
    QObject::connect(&application, &QCoreApplication::aboutToQuit, delegate.get(),
                     [&delegate] { delegate->applicationWillTerminate(); });
    QObject::connect(&instance, &SingleApplicationInstance::argumentsReceived, delegate.get(),
                     [&delegate](const QStringList& received, const QString& token) {
                         delegate->applicationDidReceiveLaterLaunch(received, token);
                     });

    QTimer::singleShot(0, delegate.get(), [&] {
        delegate->setStartedAtLogin(startedAtLogin);
        delegate->applicationDidFinishLaunching();
        const QList<QUrl> urls = VLMAppDelegate::urlsInArguments(arguments);
        if (!urls.isEmpty())
            delegate->applicationOpenURLs(urls);
        if (run.didFinishLaunching)
            run.didFinishLaunching(*delegate);
    });

    const int status = QApplication::exec();
    delegate.reset();
    AudioHardwareInstallBackend(nullptr);
    return status;
}
