// The main window on the simulated audio system, driven line by line from
// standard input, for a test that reads it as a screen reader does, over
// AT-SPI. Every command answers "ok" once its events have been sent.
//   status starting|ready|driverMissing|microphonePermissionDenied|failed <message>
//   level microphone|velmora <0...1>
//   manual              toggles Manual Gain Adjustment
//   palette dark|light  switches the application palette live (for pictures)
//   focus <objectName>  moves the keyboard focus, as Tab would
//   ping                answers when all earlier work is done
//   quit

#include "../DarkPalette.h"
#include "NSUserDefaults.h"
#include "SimulatedAudioSystem.h"
#include "VLMAudioRouter.h"
#include "VLMMainViewController.h"
#include "VLMMainWindowController.h"
#include "VLMVirtualOutputDevice.h"

#include <QApplication>
#include <QCheckBox>
#include <QMainWindow>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

std::optional<VLMAudioRouterStatus> statusNamed(const QString& name, const QString& message)
{
    if (name == QLatin1String("starting")) return VLMAudioRouterStatus::starting();
    if (name == QLatin1String("ready")) return VLMAudioRouterStatus::ready();
    if (name == QLatin1String("driverMissing")) return VLMAudioRouterStatus::driverMissing();
    if (name == QLatin1String("microphonePermissionDenied")) return VLMAudioRouterStatus::microphonePermissionDenied();
    if (name == QLatin1String("failed")) return VLMAudioRouterStatus::failed(message.toStdString());
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir configuration;
    qputenv("XDG_CONFIG_HOME", configuration.filePath(QStringLiteral("config")).toUtf8());
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vlm-accessibility-fixture"));
    QApplication::setQuitOnLastWindowClosed(false);
    NSUserDefaults::useFileForTesting(configuration.filePath(QStringLiteral("defaults.ini")).toStdString());

    auto system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::manual);
    AudioHardwareInstallBackend(system);
    system->addDevice(
        SimulatedDeviceDescription::output(VLMVirtualOutputDevice::deviceUID, VLMVirtualOutputDevice::displayName));
    system->setDefaultInputDevice(
        system->addDevice(SimulatedDeviceDescription::microphone("built-in", "Built-in Microphone")));

    int result = 0;
    const QPalette light = QApplication::palette();
    {
        auto router = VLMAudioRouter::create();
        VLMMainWindowController windowController(router);
        VLMMainViewController& view = windowController.mainViewController();
        router->refreshMicrophones();
        windowController.showWindow();

        QSocketNotifier input(fileno(stdin), QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, [&] {
            std::string line;
            if (!std::getline(std::cin, line) || line == "quit") {
                input.setEnabled(false);
                QCoreApplication::quit();
                return;
            }
            const QStringList words = QString::fromStdString(line).split(QLatin1Char(' '));
            const QString command = words.value(0);
            if (command == QLatin1String("status")) {
                const std::optional<VLMAudioRouterStatus> status =
                    statusNamed(words.value(1), words.mid(2).join(QLatin1Char(' ')));
                if (!status) {
                    std::printf("unknown status\n");
                    result = 1;
                } else {
                    view.audioRouter(*router, *status);
                }
            } else if (command == QLatin1String("level")) {
                const VLMAudioSource source =
                    words.value(1) == QLatin1String("velmora") ? VLMAudioSource::velmora : VLMAudioSource::microphone;
                view.audioRouter(*router, words.value(2).toFloat(), source);
            } else if (command == QLatin1String("manual")) {
                windowController.window()->findChild<QCheckBox*>(QStringLiteral("manualGainButton"))->click();
            } else if (command == QLatin1String("focus")) {
                if (auto* widget = windowController.window()->findChild<QWidget*>(words.value(1)))
                    widget->setFocus(Qt::TabFocusReason);
            } else if (command == QLatin1String("palette")) {
                QApplication::setPalette(words.value(1) == QLatin1String("dark") ? darkPalette() : light);
            }
            QCoreApplication::sendPostedEvents();
            std::printf("ok\n");
            std::fflush(stdout);
        });
        std::printf("ready\n");
        std::fflush(stdout);
        result |= QApplication::exec();
    }
    AudioHardwareInstallBackend(nullptr);
    NSUserDefaults::useFileForTesting({});
    return result;
}
