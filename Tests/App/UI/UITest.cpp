#include "UITest.h"

#include "MainQueue.h"
#include "NSUserDefaults.h"
#include "UI/StatusArea.h"
#include "UI/WorkspaceURLOpening.h"
#include "VLMVirtualOutputDevice.h"

#include <QGuiApplication>
#include <QMainWindow>
#include <QScreen>
#include <QWindow>

UITest::UITest()
{
    NSUserDefaults::useFileForTesting(temporaryDirectory.filePath(QStringLiteral("defaults.ini")).toStdString());
    WorkspaceSetURLOpener([this](const QUrl& url) {
        openedURLs.push_back(url);
        return true;
    });
    // A desktop with a status area, unless a test takes it away.
    StatusAreaSetAvailability([this] { return statusAreaAvailable; });
    AccessibilitySetAnnouncementObserver([this](QObject* element, const QString& text, AccessibilityPriority priority) {
        announcements.push_back({element, text, priority});
    });
    virtualDevice = system->addDevice(SimulatedDeviceDescription::output(
        VLMVirtualOutputDevice::deviceUID, VLMVirtualOutputDevice::displayName));
    builtInMicrophone = addMicrophone("built-in", "Built-in Microphone");
    system->setDefaultInputDevice(builtInMicrophone);
}

UITest::~UITest()
{
    WorkspaceSetURLOpener(nullptr);
    StatusAreaSetAvailability(nullptr);
    AccessibilitySetAnnouncementObserver(nullptr);
    // Listener callbacks queued for this system must not outlive it.
    drainMainQueue();
    NSUserDefaults::useFileForTesting({});
}

AudioObjectID UITest::addMicrophone(const std::string& uid, const std::string& name)
{
    return system->addDevice(SimulatedDeviceDescription::microphone(uid, name));
}

std::shared_ptr<VLMAudioRouter> UITest::makeRouter()
{
    return VLMAudioRouter::create();
}

bool UITest::moveToScreen(QMainWindow* window, const QString& screenName)
{
    QScreen* target = nullptr;
    for (QScreen* screen : QGuiApplication::screens())
        if (screen->name() == screenName)
            target = screen;
    if (!target)
        return false;
    window->move(target->geometry().topLeft() + QPoint(40, 40));
    return runMainQueueUntil([&] { return window->windowHandle() && window->windowHandle()->screen() == target; });
}
