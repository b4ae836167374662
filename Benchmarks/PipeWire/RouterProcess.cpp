// The router's side of the benchmark: the program's router on the PipeWire
// backend, in a process of its own, with or without the program's window
// (shown, or shown and closed to the status item, on the offscreen platform
// so it paints as on a screen without needing one). It says "ready" on its
// output once it routes, and quits when its input closes.

#include "Processes.h"

#include "AudioHardware/AudioHardwareBackend.h"
#include "NSUserDefaults.h"
#include "PipeWireAudioSystem.h"
#include "VLMAudioRouter.h"
#include "VLMMainWindowController.h"

#include <QApplication>
#include <QMainWindow>
#include <QSocketNotifier>

#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace bench {

int route(int argc, char** argv)
{
    const std::string serverDirectory = argv[2];
    const std::string window = argc > 3 ? argv[3] : "none";
    // Needs no display, with or without the window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    NSUserDefaults::useFileForTesting(serverDirectory + "/router-defaults.ini");
    auto system = PipeWireAudioSystem::connect();
    if (!system)
        return 1;
    AudioHardwareInstallBackend(system);
    auto router = VLMAudioRouter::create();
    router->setVelmoraVolume(1.0f);
    router->setMicrophoneVolume(1.0f);
    std::unique_ptr<VLMMainWindowController> windowController;
    if (window != "none") {
        windowController = std::make_unique<VLMMainWindowController>(router);
        windowController->showWindow();
        if (window == "closed")
            windowController->window()->close();
    }
    bool announced = false;
    auto announce = [&](const VLMAudioRouterStatus& status) {
        if (status.kind() == VLMAudioRouterStatus::Kind::ready && !announced) {
            announced = true;
            [[maybe_unused]] const auto written = write(1, "ready\n", 6);
        } else if (status.kind() == VLMAudioRouterStatus::Kind::failed
                   || status.kind() == VLMAudioRouterStatus::Kind::driverMissing) {
            // Reported, not fatal: a slow session manager can make the start
            // fail for a while and recover; the benchmark gives up when no
            // "ready" comes in time.
            std::fprintf(stderr, "router status %s: %s\n",
                         status.kind() == VLMAudioRouterStatus::Kind::failed ? "failed" : "driver missing",
                         status.message().c_str());
        }
    };
    router->statusDidChange = announce;
    router->start();
    announce(router->status());
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        if (read(0, &c, 1) <= 0)
            app.quit();
    });
    const int status = app.exec();
    windowController.reset();
    router->stop();
    router.reset();
    AudioHardwareInstallBackend(nullptr);
    system.reset();
    NSUserDefaults::useFileForTesting("");
    return status;
}

} // namespace bench
