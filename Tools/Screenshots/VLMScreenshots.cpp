// Writes pictures of the main window in every state, as a user sees it on a
// 2x display, the same window on a 2x screen 1000 pixels high (scrolled to
// its top and its bottom) and with a long microphone name, and a sheet of the
// painted symbols at 1x and 2x, for people to look at. Runs offscreen on the simulated audio system with user defaults
// in a temporary folder. Usage: vlm-screenshots [folder] (default: screenshots).

#include "NSUserDefaults.h"
#include "SimulatedAudioSystem.h"
#include "UI/SymbolImage.h"
#include "VLMAudioRouter.h"
#include "VLMMainViewController.h"
#include "VLMMainWindowController.h"
#include "VLMVirtualOutputDevice.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QMainWindow>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

void writeSymbolSheets(const QDir& folder)
{
    const QStringList names = SymbolImage::availableNames();
    for (const double ratio : {1.0, 2.0}) {
        const int cell = 28;
        QImage sheet(QSize(cell * names.size() * 2, cell) * ratio, QImage::Format_ARGB32_Premultiplied);
        sheet.setDevicePixelRatio(ratio);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        for (int i = 0; i < names.size(); ++i) {
            std::optional<SymbolImage> symbol = SymbolImage::systemSymbol(names[i]);
            symbol->paint(painter, QRectF(i * cell * 2 + 6, 6, 16, 16), QColor(11, 234, 173));
            symbol->paint(painter, QRectF(i * cell * 2 + cell + 6, 6, 16, 16), Qt::black);
        }
        painter.end();
        sheet.save(folder.filePath(QStringLiteral("symbols-%1x.png").arg(ratio)));
    }
}

void drain()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir configuration;
    // A screen with room for every state, and a short one beside it.
    const QString screens = configuration.filePath(QStringLiteral("screens.json"));
    QFile screenFile(screens);
    if (!screenFile.open(QIODevice::WriteOnly))
        return 1;
    screenFile.write(R"({"screens": [
        {"name": "tall", "x": 0, "y": 0, "width": 2880, "height": 1800},
        {"name": "short", "x": 2880, "y": 0, "width": 1600, "height": 1000}]})");
    screenFile.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.toUtf8());
    qputenv("QT_SCALE_FACTOR", "2");
    qputenv("XDG_CONFIG_HOME", configuration.filePath(QStringLiteral("config")).toUtf8());
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", configuration.path().toUtf8());
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(folder.path()));
        return 1;
    }
    NSUserDefaults::useFileForTesting(configuration.filePath(QStringLiteral("defaults.ini")).toStdString());

    auto system = std::make_shared<SimulatedAudioSystem>(SimulatedClock::manual);
    AudioHardwareInstallBackend(system);
    system->addDevice(
        SimulatedDeviceDescription::output(VLMVirtualOutputDevice::deviceUID, VLMVirtualOutputDevice::displayName));
    const AudioObjectID builtIn =
        system->addDevice(SimulatedDeviceDescription::microphone("built-in", "Built-in Microphone"));
    system->setDefaultInputDevice(builtIn);
    const AudioObjectID usb = system->addDevice(SimulatedDeviceDescription::microphone("usb", "USB Microphone"));
    const char* const longName = "Scarlett 2i2 USB Audio Interface — Rear Input 1 (Condenser, phantom power)";
    const AudioObjectID longMicrophone = system->addDevice(SimulatedDeviceDescription::microphone("long", longName));

    {
        auto router = VLMAudioRouter::create();
        VLMMainWindowController windowController(router);
        VLMMainViewController& view = windowController.mainViewController();
        router->refreshMicrophones();
        windowController.showWindow();
        QMainWindow* window = windowController.window();
        auto shoot = [&](const QString& name) {
            drain();
            window->grab().save(folder.filePath(name + QStringLiteral(".png")));
        };

        shoot(QStringLiteral("starting"));
        window->centralWidget()->findChild<QCheckBox*>(QStringLiteral("manualGainButton"))->click();
        view.audioRouter(*router, VLMAudioRouterStatus::ready());
        view.audioRouter(*router, 0.62f, VLMAudioSource::microphone);
        view.audioRouter(*router, 0.81f, VLMAudioSource::velmora);
        shoot(QStringLiteral("ready-manual-gain"));
        window->centralWidget()->findChild<QCheckBox*>(QStringLiteral("manualGainButton"))->click();
        view.audioRouter(*router, 0.0f, VLMAudioSource::microphone);
        view.audioRouter(*router, 0.0f, VLMAudioSource::velmora);
        view.audioRouter(*router, VLMAudioRouterStatus::driverMissing());
        shoot(QStringLiteral("driver-missing"));
        view.audioRouter(*router, VLMAudioRouterStatus::microphonePermissionDenied());
        shoot(QStringLiteral("microphone-access-off"));
        view.audioRouter(*router, VLMAudioRouterStatus::failed("The selected microphone is no longer available."));
        shoot(QStringLiteral("failed"));
        view.audioRouter(*router, VLMAudioRouterStatus::failed(VLMAudioRouter::audioStalledMessage));
        shoot(QStringLiteral("audio-stalled"));

        // No audio server: nothing listed, and the status row says why.
        system->removeDevice(builtIn);
        system->removeDevice(usb);
        system->removeDevice(longMicrophone);
        router->refreshMicrophones();
        view.audioRouterDidUpdateMicrophones(*router);
        view.audioRouter(*router, VLMAudioRouterStatus::failed(VLMAudioRouter::audioServerNotRunningMessage));
        shoot(QStringLiteral("no-audio-server"));
        system->setDefaultInputDevice(
            system->addDevice(SimulatedDeviceDescription::microphone("built-in", "Built-in Microphone")));
        system->addDevice(SimulatedDeviceDescription::microphone("long", longName));
        router->refreshMicrophones();
        view.audioRouterDidUpdateMicrophones(*router);

        router->selectMicrophone("long");
        view.audioRouter(*router, VLMAudioRouterStatus::ready());
        shoot(QStringLiteral("long-microphone-name"));

        for (QScreen* screen : QGuiApplication::screens())
            if (screen->name() == QLatin1String("short"))
                window->move(screen->geometry().topLeft() + QPoint(20, 20));
        window->centralWidget()->findChild<QCheckBox*>(QStringLiteral("manualGainButton"))->click();
        shoot(QStringLiteral("short-screen-top"));
        auto* scrollView = qobject_cast<QScrollArea*>(window->centralWidget());
        scrollView->verticalScrollBar()->setValue(scrollView->verticalScrollBar()->maximum());
        shoot(QStringLiteral("short-screen-bottom"));
    }
    writeSymbolSheets(folder);
    drain();
    AudioHardwareInstallBackend(nullptr);
    NSUserDefaults::useFileForTesting({});
    std::printf("screenshots in %s\n", qPrintable(QDir(folder).absolutePath()));
    return 0;
}
