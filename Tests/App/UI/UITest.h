#pragma once
// A fixture for the window tests: a fresh simulated audio system (manual
// clock) with the virtual device and one microphone, user defaults in a
// temporary file, recorders for opened URLs and announcements, and a desktop
// status area that a test can take away.

#include "Support/SimulatedSystemTest.h"

#include "UI/AccessibilityAnnouncement.h"
#include "VLMAudioRouter.h"

#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QMainWindow;

struct RecordedAnnouncement {
    QObject* element;
    QString text;
    AccessibilityPriority priority;
};

class UITest : public SimulatedSystemTest {
protected:
    UITest();
    ~UITest() override;

    AudioObjectID addMicrophone(const std::string& uid, const std::string& name);
    // A router on this system, its gains read from this test's defaults.
    std::shared_ptr<VLMAudioRouter> makeRouter();

    // Moves a shown window onto the named screen ("normal" at device pixel
    // ratio 1, "hidpi" at 2, "short": 1000 pixels high at 2) and waits until
    // it is there.
    static bool moveToScreen(QMainWindow* window, const QString& screenName);

    template <class Control>
    static Control* control(QWidget* root, const char* name)
    {
        return root->findChild<Control*>(QString::fromLatin1(name));
    }

    QTemporaryDir temporaryDirectory;
    AudioObjectID virtualDevice = 0;
    AudioObjectID builtInMicrophone = 0;
    std::vector<QUrl> openedURLs;
    std::vector<RecordedAnnouncement> announcements;
    bool statusAreaAvailable = true;
};
