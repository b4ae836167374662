#include "UITest.h"

#include "MainQueue.h"
#include "VLMAppDelegate.h"
#include "VLMLinks.h"
#include "VLMMainWindowController.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>

namespace {

struct MenuItem {
    QString title;  // empty: a separator
    QString key;
    bool operator==(const MenuItem&) const = default;
};

std::ostream& operator<<(std::ostream& out, const MenuItem& item)
{
    return out << '"' << item.title.toStdString() << "\" " << item.key.toStdString();
}

std::vector<MenuItem> itemsOf(QMenu* menu)
{
    std::vector<MenuItem> items;
    for (QAction* action : menu->actions())
        items.push_back({action->isSeparator() ? QString() : action->text(), action->shortcut().toString()});
    return items;
}

QAction* itemTitled(QMenu* menu, const QString& title)
{
    for (QAction* action : menu->actions())
        if (action->text() == title)
            return action;
    return nullptr;
}

class VLMAppDelegateTest : public UITest {
protected:
    VLMAppDelegateTest() : delegate(std::make_unique<VLMAppDelegate>()) {}

    void launch()
    {
        delegate->applicationDidFinishLaunching();
        window = delegate->mainWindowController()->window();
    }

    QList<QMenu*> topLevelMenus()
    {
        QList<QMenu*> menus;
        for (QAction* action : delegate->mainMenu()->actions())
            menus << action->menu();
        return menus;
    }

    QString statusLabelText() { return control<QLabel>(window->centralWidget(), "statusLabel")->text(); }

    std::unique_ptr<VLMAppDelegate> delegate;
    QMainWindow* window = nullptr;
};

// MARK: Launch

TEST_F(VLMAppDelegateTest, MenusStatusItemAndWindowExistBeforeTheFirstStatus)
{
    // With access refused the router's first status comes out of start().
    system->setMicrophoneAuthorization(AVAuthorizationStatus::denied);
    launch();

    EXPECT_EQ(statusLabelText(), QStringLiteral("Microphone access is off")) << "the window heard the first status";
    EXPECT_EQ(delegate->statusMenuItem()->text(), QStringLiteral("Needs Attention"))
        << "the status item heard it too";
    EXPECT_EQ(delegate->statusItem()->toolTip(), QStringLiteral("Velmora Studio Connect: Needs Attention"));
    EXPECT_EQ(window->menuWidget(), delegate->mainMenu());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(VLMAppDelegateTest, LaunchStartsTheRouter)
{
    launch();
    EXPECT_EQ(delegate->router()->status(), VLMAudioRouterStatus::ready());
    EXPECT_EQ(delegate->statusMenuItem()->text(), QStringLiteral("Ready"));
    EXPECT_EQ(delegate->statusMenuItem()->icon().name(), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(delegate->statusItem()->toolTip(), QStringLiteral("Velmora Studio Connect: Ready"));
}

TEST_F(VLMAppDelegateTest, TerminationStopsTheMonitorBeforeTheAudio)
{
    launch();
    system->clearJournal();
    delegate->applicationWillTerminate();

    const auto journal = system->journal();
    auto firstOf = [&](SimulatedCall call) {
        return std::find_if(journal.begin(), journal.end(), [call](const auto& entry) { return entry.call == call; });
    };
    ASSERT_NE(firstOf(SimulatedCall::removePropertyListener), journal.end());
    ASSERT_NE(firstOf(SimulatedCall::stopDevice), journal.end());
    EXPECT_LT(firstOf(SimulatedCall::removePropertyListener), firstOf(SimulatedCall::stopDevice));
    EXPECT_EQ(system->listenerCount(), 0u);
    EXPECT_EQ(system->runningIOProcCount(virtualDevice), 0u);
}

TEST_F(VLMAppDelegateTest, QuitInEitherMenuEndsTheApplicationsEventLoop)
{
    launch();
    QMenu* statusMenu = delegate->statusItem()->contextMenu();
    for (QAction* quit : {itemTitled(topLevelMenus().at(0), QStringLiteral("Quit Velmora Studio Connect")),
                          itemTitled(statusMenu, QStringLiteral("Quit Velmora Studio Connect"))}) {
        ASSERT_NE(quit, nullptr);
        int aboutToQuit = 0;
        const auto connection =
            QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&aboutToQuit] { ++aboutToQuit; });
        QTimer::singleShot(0, quit, &QAction::trigger);
        // Only a broken quit meets this: it fails the test instead of hanging it.
        QTimer safetyNet;
        safetyNet.setSingleShot(true);
        QObject::connect(&safetyNet, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        safetyNet.start(10000);
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_EQ(aboutToQuit, 1) << "the normal termination path runs";
        QObject::disconnect(connection);
    }
}

// MARK: Reopen and URLs

TEST_F(VLMAppDelegateTest, ReopenShowsTheClosedWindowAndAlwaysAgrees)
{
    launch();
    window->close();
    EXPECT_FALSE(VLMAppDelegate::hasVisibleWindows());

    EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(true));
    EXPECT_TRUE(window->isVisible());
}

TEST_F(VLMAppDelegateTest, TheProgramsSchemeShowsTheWindowOtherSchemesDoNothing)
{
    launch();
    window->close();

    delegate->applicationOpenURLs({QUrl(QStringLiteral("https://example.com/")), QUrl(QStringLiteral("mailto:a@b.c"))});
    EXPECT_FALSE(window->isVisible());
    delegate->applicationOpenURLs({});
    EXPECT_FALSE(window->isVisible());
    delegate->applicationOpenURLs({QUrl(QStringLiteral("velmora-studio://open"))});
    EXPECT_FALSE(window->isVisible()) << "the whole scheme must match";

    delegate->applicationOpenURLs({QUrl(QStringLiteral("https://example.com/")), QUrl(QStringLiteral("file-less")),
                                   QUrl(QStringLiteral("velmora-studio-connect://settings?x=1"))});
    EXPECT_TRUE(window->isVisible());
}

// MARK: Menus

TEST_F(VLMAppDelegateTest, HelpItemsOpenTheProductPageAndTheSettings)
{
    launch();
    QMenu* help = delegate->helpMenu();
    itemTitled(help, QStringLiteral("Velmora Studio Connect Help"))->trigger();
    itemTitled(help, QStringLiteral("Microphone Privacy Settings"))->trigger();
    EXPECT_THAT(openedURLs, testing::ElementsAre(QUrl(VLMProductWebPageURLString()),
                                                 QUrl(QString::fromLatin1(VLMMicrophonePrivacySettingsURLString))));
}

TEST_F(VLMAppDelegateTest, KeyEquivalentsReachTheirItems)
{
    launch();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));

    QTest::keyClick(window, Qt::Key_H, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_TRUE(window->isVisible()) << "Hide Others keeps this window";
    QTest::keyClick(window, Qt::Key_H, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible()) << "Hide hides the application";

    itemTitled(topLevelMenus().at(0), QStringLiteral("Show All"))->trigger();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(VLMAppDelegateTest, TheWindowsMenuListsTheWindow)
{
    launch();
    emit delegate->windowsMenu()->aboutToShow();
    EXPECT_NE(itemTitled(delegate->windowsMenu(), QStringLiteral("Velmora Studio Connect")), nullptr);
    emit delegate->windowsMenu()->aboutToShow();
    EXPECT_EQ(itemsOf(delegate->windowsMenu()).size(), 5u) << "listed once, however often it opens";
}

// MARK: Status item

TEST_F(VLMAppDelegateTest, TheStatusItemShowsItsMenuAndFollowsTheStatus)
{
    system->setMicrophoneAuthorization(AVAuthorizationStatus::notDetermined);  // the status waits for an answer
    launch();
    QSystemTrayIcon* item = delegate->statusItem();
    QMenu* menu = item->contextMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_THAT(itemsOf(menu),
                testing::ElementsAre(MenuItem{QStringLiteral("Starting…"), {}}, MenuItem{},
                                     MenuItem{QStringLiteral("Show Velmora Studio Connect"), {}}, MenuItem{},
                                     MenuItem{QStringLiteral("Quit Velmora Studio Connect"), QStringLiteral("Ctrl+Q")}));
    EXPECT_EQ(menu->actions().first(), delegate->statusMenuItem());
    EXPECT_FALSE(delegate->statusMenuItem()->isEnabled()) << "the status line cannot be chosen";
    EXPECT_EQ(item->toolTip(), QStringLiteral("Velmora Studio Connect"));
    EXPECT_EQ(item->icon().name(), QStringLiteral("speaker.wave.2.bubble"));

    const struct {
        VLMAudioRouterStatus status;
        QString text;
        QString symbol;
    } cases[] = {
        {VLMAudioRouterStatus::starting(), QStringLiteral("Starting…"), QStringLiteral("clock")},
        {VLMAudioRouterStatus::ready(), QStringLiteral("Ready"), QStringLiteral("checkmark.circle.fill")},
        {VLMAudioRouterStatus::failed("Whatever it was."), QStringLiteral("Needs Attention"),
         QStringLiteral("exclamationmark.triangle.fill")},
        {VLMAudioRouterStatus::driverMissing(), QStringLiteral("Needs Attention"),
         QStringLiteral("exclamationmark.triangle.fill")},
        {VLMAudioRouterStatus::microphonePermissionDenied(), QStringLiteral("Needs Attention"),
         QStringLiteral("exclamationmark.triangle.fill")},
    };
    for (const auto& expected : cases) {
        delegate->router()->statusDidChange(expected.status);
        EXPECT_EQ(delegate->statusMenuItem()->text(), expected.text);
        EXPECT_EQ(delegate->statusMenuItem()->icon().name(), expected.symbol);
        EXPECT_EQ(item->toolTip(), QStringLiteral("Velmora Studio Connect: ") + expected.text);
    }
    EXPECT_EQ(item->icon().name(), QStringLiteral("speaker.wave.2.bubble")) << "the icon itself never changes";
}

TEST_F(VLMAppDelegateTest, ShowFromTheStatusMenuBringsTheWindowBack)
{
    launch();
    window->close();
    itemTitled(delegate->statusItem()->contextMenu(), QStringLiteral("Show Velmora Studio Connect"))->trigger();
    EXPECT_TRUE(window->isVisible());
}

} // namespace
