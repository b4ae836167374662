#include "UITest.h"

#include "MainQueue.h"
#include "VLMAppDelegate.h"
#include "VLMLinks.h"
#include "VLMLoginItem.h"
#include "VLMMainWindowController.h"

#include "UI/WorkspaceURLOpening.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSet>
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

// A title as shown, without its mnemonic mark.
QString shownTitle(const QAction* action)
{
    return QString(action->text()).remove(u'&');
}

std::vector<MenuItem> itemsOf(QMenu* menu)
{
    std::vector<MenuItem> items;
    for (QAction* action : menu->actions())
        if (action->isVisible())
            items.push_back({action->isSeparator() ? QString() : shownTitle(action), action->shortcut().toString()});
    return items;
}

QAction* itemTitled(QMenu* menu, const QString& title)
{
    for (QAction* action : menu->actions())
        if (shownTitle(action) == title)
            return action;
    return nullptr;
}

// Runs the event loop until the application quits, or fails after a while
// instead of hanging when it never does.
int runUntilQuit()
{
    QTimer safetyNet;
    safetyNet.setSingleShot(true);
    QObject::connect(&safetyNet, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    safetyNet.start(10000);
    return QApplication::exec();
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
    EXPECT_FALSE(window->windowIcon().pixmap(32).isNull()) << "the program's icon";
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
        EXPECT_EQ(runUntilQuit(), 0);
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
                                     MenuItem{QStringLiteral("Show Velmora Studio Connect"), {}},
                                     MenuItem{QStringLiteral("Start at Login"), {}}, MenuItem{},
                                     MenuItem{QStringLiteral("Quit Velmora Studio Connect"), {}}))
        << "no key equivalent that the status area cannot deliver";
    EXPECT_EQ(menu->actions().first(), delegate->statusMenuItem());
    EXPECT_FALSE(delegate->statusMenuItem()->isEnabled()) << "the status line cannot be chosen";
    EXPECT_EQ(item->toolTip(), QStringLiteral("Velmora Studio Connect"));
    EXPECT_EQ(item->icon().name(), QStringLiteral("speaker.wave.2.bubble"));

    const struct {
        VLMAudioRouterStatus status;
        QString text;
        QString symbol;
        QString recovery;
    } cases[] = {
        {VLMAudioRouterStatus::starting(), QStringLiteral("Starting…"), QStringLiteral("clock"), {}},
        {VLMAudioRouterStatus::ready(), QStringLiteral("Ready"), QStringLiteral("checkmark.circle.fill"), {}},
        {VLMAudioRouterStatus::failed("Whatever it was."), QStringLiteral("Needs Attention"),
         QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("Try Again")},
        {VLMAudioRouterStatus::driverMissing(), QStringLiteral("Needs Attention"),
         QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("Download Installer")},
        {VLMAudioRouterStatus::microphonePermissionDenied(), QStringLiteral("Needs Attention"),
         QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("Open Microphone Settings")},
    };
    for (const auto& expected : cases) {
        delegate->router()->statusDidChange(expected.status);
        EXPECT_EQ(delegate->statusMenuItem()->text(), expected.text);
        EXPECT_EQ(delegate->statusMenuItem()->icon().name(), expected.symbol);
        EXPECT_EQ(item->toolTip(), QStringLiteral("Velmora Studio Connect: ") + expected.text);
        EXPECT_EQ(delegate->statusRecoveryItem()->isVisible(), !expected.recovery.isEmpty());
        EXPECT_EQ(delegate->statusRecoveryItem()->text(), expected.recovery);
    }
    EXPECT_EQ(item->icon().name(), QStringLiteral("speaker.wave.2.bubble")) << "the icon itself never changes";
}

TEST_F(VLMAppDelegateTest, TheStatusMenuOffersTheRecoveryOfTheCurrentStatus)
{
    system->setMicrophoneAuthorization(AVAuthorizationStatus::denied);
    launch();
    ASSERT_EQ(delegate->router()->status(), VLMAudioRouterStatus::microphonePermissionDenied());
    delegate->statusRecoveryItem()->trigger();
    EXPECT_THAT(openedURLs, testing::ElementsAre(QUrl(QString::fromLatin1(VLMMicrophonePrivacySettingsURLString))));

    system->setMicrophoneAuthorization(AVAuthorizationStatus::authorized);
    system->removeDevice(virtualDevice);
    delegate->router()->start();
    ASSERT_EQ(delegate->router()->status(), VLMAudioRouterStatus::driverMissing());
    delegate->statusRecoveryItem()->trigger();
    EXPECT_EQ(openedURLs.back(), QUrl(VLMProductWebPageURLString()));
}

// MARK: No status area

TEST_F(VLMAppDelegateTest, WithoutAStatusAreaClosingTheWindowQuits)
{
    statusAreaAvailable = false;
    launch();
    int aboutToQuit = 0;
    const auto connection = QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&aboutToQuit] { ++aboutToQuit; });
    QTimer::singleShot(0, window, &QWidget::close);
    EXPECT_EQ(runUntilQuit(), 0);
    EXPECT_EQ(aboutToQuit, 1) << "the program does not run on unseen";
    QObject::disconnect(connection);
}

TEST_F(VLMAppDelegateTest, WithoutAStatusAreaTheWindowStaysInTheTaskList)
{
    statusAreaAvailable = false;
    launch();
    itemTitled(topLevelMenus().at(0), QStringLiteral("Hide Velmora Studio Connect"))->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized()) << "hiding minimizes";

    // The status area goes away while the window is hidden.
    statusAreaAvailable = true;
    window->showNormal();
    itemTitled(topLevelMenus().at(0), QStringLiteral("Hide Velmora Studio Connect"))->trigger();
    ASSERT_FALSE(window->isVisible());
    statusAreaAvailable = false;
    delegate->statusAreaMayHaveChanged();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
}

// MARK: Brought back

TEST_F(VLMAppDelegateTest, EveryRouteInBringsAClosedOrMinimizedWindowBack)
{
    launch();
    const std::function<void()> routes[] = {
        [&] { delegate->applicationDidReceiveLaterLaunch({}, {}); },
        [&] { delegate->applicationDidReceiveLaterLaunch({QStringLiteral("velmora-studio-connect://open")}, {}); },
        [&] { itemTitled(delegate->statusItem()->contextMenu(), QStringLiteral("Show Velmora Studio Connect"))->trigger(); },
    };
    for (const auto& route : routes) {
        for (const bool minimized : {true, false}) {
            minimized ? window->showMinimized() : void(window->close());
            ASSERT_EQ(window->isMinimized(), minimized);
            route();
            EXPECT_FALSE(window->isMinimized());
            EXPECT_TRUE(window->isVisible());
        }
    }
}

// MARK: Menu validation

TEST_F(VLMAppDelegateTest, ItemsThatCannotActAreDisabled)
{
    launch();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QMenu* applicationMenu = topLevelMenus().at(0);
    QMenu* edit = topLevelMenus().at(1);
    emit edit->aboutToShow();
    for (QAction* item : edit->actions())
        EXPECT_TRUE(item->isSeparator() || !item->isEnabled()) << qPrintable(item->text()) << ": no control here edits text";
    EXPECT_FALSE(itemTitled(applicationMenu, QStringLiteral("Hide Others"))->isEnabled());
    EXPECT_FALSE(itemTitled(applicationMenu, QStringLiteral("Show All"))->isEnabled()) << "nothing is hidden";
    EXPECT_TRUE(itemTitled(delegate->windowsMenu(), QStringLiteral("Minimize"))->isEnabled());

    QTest::keyClick(window, Qt::Key_M, Qt::ControlModifier);
    EXPECT_TRUE(window->isMinimized());
    EXPECT_FALSE(itemTitled(delegate->windowsMenu(), QStringLiteral("Minimize"))->isEnabled());
    window->showNormal();
    EXPECT_TRUE(itemTitled(delegate->windowsMenu(), QStringLiteral("Minimize"))->isEnabled()) << "Ctrl+M works again";
}

TEST_F(VLMAppDelegateTest, FOneOpensHelpAndMenusHaveMnemonics)
{
    launch();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_F1);
    EXPECT_THAT(openedURLs, testing::ElementsAre(QUrl(VLMProductWebPageURLString())));
    for (QMenu* menu : topLevelMenus()) {
        EXPECT_TRUE(menu->title().contains(u'&')) << qPrintable(menu->title());
        QSet<QChar> mnemonics;
        for (QAction* item : menu->actions()) {
            if (item->isSeparator() || !item->isVisible() || !item->isEnabled())
                continue;
            const qsizetype mark = item->text().indexOf(u'&');
            ASSERT_GE(mark, 0) << qPrintable(item->text());
            EXPECT_FALSE(mnemonics.contains(item->text().at(mark + 1).toLower())) << qPrintable(item->text());
            mnemonics.insert(item->text().at(mark + 1).toLower());
        }
    }
}

TEST_F(VLMAppDelegateTest, NoSettingsProgramIsToldToTheUser)
{
    launch();
    WorkspaceSetURLOpener([](const QUrl&) { return false; });
    itemTitled(delegate->helpMenu(), QStringLiteral("Microphone Privacy Settings"))->trigger();
    auto* alert = window->findChild<QMessageBox*>(QStringLiteral("microphoneSettingsAlert"));
    ASSERT_NE(alert, nullptr);
    EXPECT_TRUE(alert->isVisible());
    alert->close();
}

// MARK: Start at login

TEST_F(VLMAppDelegateTest, StartAtLoginWritesAndRemovesTheAutostartEntry)
{
    launch();
    QAction* applicationItem = itemTitled(topLevelMenus().at(0), QStringLiteral("Start at Login"));
    QAction* statusItem = itemTitled(delegate->statusItem()->contextMenu(), QStringLiteral("Start at Login"));
    ASSERT_FALSE(applicationItem->isChecked());
    const QString path = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart/") +
                         QGuiApplication::desktopFileName() + QStringLiteral(".desktop");

    applicationItem->trigger();
    QFile entry(path);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    entry.close();
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=env VLM_STARTED_AT_LOGIN=1 ") +
                              QCoreApplication::applicationFilePath() + QStringLiteral("\n")));
    emit delegate->statusItem()->contextMenu()->aboutToShow();
    EXPECT_TRUE(statusItem->isChecked()) << "both items follow the entry";

    statusItem->trigger();
    EXPECT_FALSE(QFile::exists(path));
    emit topLevelMenus().at(0)->aboutToShow();
    EXPECT_FALSE(applicationItem->isChecked());

    // The user switched it off in the desktop's own list.
    ASSERT_TRUE(VLMLoginItem::setEnabled(true));
    ASSERT_TRUE(entry.open(QIODevice::Append));
    entry.write("Hidden=true\n");
    entry.close();
    EXPECT_FALSE(VLMLoginItem::isEnabled());
    ASSERT_TRUE(VLMLoginItem::setEnabled(false));
}

TEST_F(VLMAppDelegateTest, AStartAtLoginLeavesTheDesktopUncovered)
{
    qputenv("VLM_STARTED_AT_LOGIN", "1");
    EXPECT_TRUE(VLMLoginItem::takeStartedAtLoginMark());
    EXPECT_FALSE(qEnvironmentVariableIsSet("VLM_STARTED_AT_LOGIN")) << "programs started from here are not marked";

    delegate->setStartedAtLogin(true);
    launch();
    EXPECT_FALSE(window->isVisible()) << "the status item is at hand";
    EXPECT_EQ(delegate->router()->status(), VLMAudioRouterStatus::ready());
    delegate->applicationDidReceiveLaterLaunch({}, {});
    EXPECT_TRUE(window->isVisible());
}

TEST_F(VLMAppDelegateTest, AStartAtLoginWithoutAStatusAreaIsMinimized)
{
    statusAreaAvailable = false;
    delegate->setStartedAtLogin(true);
    launch();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
}

} // namespace
