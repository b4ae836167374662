#include "UITest.h"

#include "MainQueue.h"
#include "NSUserDefaults.h"
#include "VLMAudioLevelMeterView.h"
#include "VLMFlippedView.h"
#include "VLMMainViewController.h"
#include "VLMMainWindowController.h"
#include "VLMMeterRefresh.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QComboBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QAccessible>
#include <QApplication>
#include <QProxyStyle>
#include <QWindow>

#include <algorithm>
#include <set>

namespace {

class VLMMainWindowControllerTest : public UITest {
protected:
    void makeWindowController()
    {
        router = makeRouter();
        windowController = std::make_unique<VLMMainWindowController>(router);
        window = windowController->window();
    }

    void showOn(const QString& screen)
    {
        windowController->showWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        ASSERT_TRUE(moveToScreen(window, screen));
        ASSERT_TRUE(runMainQueueUntil([&] { return window->size() == window->maximumSize(); }));
    }

    VLMMainViewController& viewController() { return windowController->mainViewController(); }
    void apply(const VLMAudioRouterStatus& status) { viewController().audioRouter(*router, status); }
    QWidget* content() { return window->centralWidget(); }

    std::shared_ptr<VLMAudioRouter> router;
    std::unique_ptr<VLMMainWindowController> windowController;
    QMainWindow* window = nullptr;
};

TEST_F(VLMMainWindowControllerTest, IsEightHundredPixelsWideAtEveryPixelRatio)
{
    makeWindowController();
    showOn(QStringLiteral("normal"));
    EXPECT_EQ(windowController->contentSize(), QSize(800, 530));

    ASSERT_TRUE(moveToScreen(window, QStringLiteral("hidpi")));
    EXPECT_EQ(window->windowHandle()->devicePixelRatio(), 2.0);
    EXPECT_EQ(windowController->contentSize(), QSize(400, 530));
    // The platform may settle the move with the old size; the fit is put back.
    EXPECT_TRUE(runMainQueueUntil([&] { return window->size() == QSize(400, 530); }));
    EXPECT_EQ(windowController->contentSize(), QSize(400, 530));

    ASSERT_TRUE(moveToScreen(window, QStringLiteral("normal")));
    EXPECT_EQ(windowController->contentSize(), QSize(800, 530));
}

TEST_F(VLMMainWindowControllerTest, FollowsTheContentHeightAndCannotBeResized)
{
    makeWindowController();
    showOn(QStringLiteral("hidpi"));

    apply(VLMAudioRouterStatus::ready());
    EXPECT_EQ(windowController->contentSize(), QSize(400, 496));
    control<QCheckBox>(content(), "manualGainButton")->click();
    EXPECT_EQ(windowController->contentSize(), QSize(400, 560));
    apply(VLMAudioRouterStatus::driverMissing());
    EXPECT_EQ(windowController->contentSize(), QSize(400, 594));
    apply(VLMAudioRouterStatus::failed("Anything at all."));
    EXPECT_EQ(windowController->contentSize(), QSize(400, 594));

    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(window->size(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    // A window manager that offers them anyway is refused.
    const QSize fitted = window->size();
    window->setWindowState(Qt::WindowFullScreen);
    EXPECT_FALSE(window->windowState() & Qt::WindowFullScreen);
    window->setWindowState(Qt::WindowMaximized);
    EXPECT_FALSE(window->windowState() & Qt::WindowMaximized);
    EXPECT_EQ(window->size(), fitted);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Velmora Studio Connect"));
}

TEST_F(VLMMainWindowControllerTest, ClosingHidesTheSameWindowForLater)
{
    makeWindowController();
    showOn(QStringLiteral("hidpi"));
    QWidget* label = control<QLabel>(content(), "statusLabel");

    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
    windowController->showWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(control<QLabel>(content(), "statusLabel"), label);
}

// Levels reach the meters at most once per screen refresh or level while the window can be
// seen; while it is closed or minimized no clock runs and no level is even measured.
TEST_F(VLMMainWindowControllerTest, MetersTakeLevelsOnlyWhileTheWindowCanBeSeen)
{
    system->addApplication("com.apple.Music", SimulatedSignals::sine(440, 0.5f));
    makeWindowController();
    showOn(QStringLiteral("normal"));
    router->start();
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status() == VLMAudioRouterStatus::ready(); }));
    const VLMMeterRefresh& refresh = viewController().meterRefresh();
    auto* meter = control<VLMAudioLevelMeterView>(content(), "velmoraMeter");
    EXPECT_TRUE(refresh.isRunning());
    EXPECT_GE(refresh.intervalMilliseconds(), 1000 / 60) << "no faster than the screen refreshes";
    EXPECT_GE(refresh.intervalMilliseconds(), 1000 * VLMAudioRouter::meterTapFrames / 48000)
        << "no faster than levels are measured";
    system->advance(0.5);
    ASSERT_TRUE(runMainQueueUntil([&] { return meter->level() > 0; }));
    // The same sine lights the same segments: its levels wait, and the clock does not come for them.
    system->advance(0.5);
    ASSERT_TRUE(runMainQueueUntil([&] { return router->meterLevelWaiting(VLMAudioSource::velmora); }));
    bool severalFramesLater = false;
    QTimer::singleShot(5 * refresh.intervalMilliseconds(), [&] { severalFramesLater = true; });
    ASSERT_TRUE(runMainQueueUntil([&] { return severalFramesLater; }));
    EXPECT_TRUE(router->meterLevelWaiting(VLMAudioSource::velmora)) << "not taken: nothing new to show";

    EXPECT_TRUE(window->close());
    EXPECT_FALSE(refresh.isRunning());
    router->stop();  // zeroes the meters directly, as every teardown does
    router->start();
    ASSERT_TRUE(runMainQueueUntil([&] { return router->status() == VLMAudioRouterStatus::ready(); }));
    system->advance(0.5);
    drainMainQueue();
    EXPECT_FALSE(refresh.isRunning());

    windowController->showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_FALSE(router->meterLevelWaiting(VLMAudioSource::velmora)) << "nothing measured while closed";
    EXPECT_EQ(meter->level(), 0.0f) << "so nothing old is shown";
    system->advance(0.5);
    ASSERT_TRUE(runMainQueueUntil([&] { return meter->level() > 0; })) << "measured again once shown";
    window->setWindowState(Qt::WindowMinimized);
    EXPECT_FALSE(refresh.isRunning());
    window->setWindowState(Qt::WindowNoState);
    EXPECT_TRUE(runMainQueueUntil([&] { return refresh.isRunning(); }));

    apply(VLMAudioRouterStatus::driverMissing());
    EXPECT_FALSE(refresh.isRunning()) << "no audio, nothing to take";
}

TEST_F(VLMMainWindowControllerTest, RemembersExactlyWhereTheUserLeftIt)
{
    makeWindowController();
    showOn(QStringLiteral("normal"));
    window->move(123, 145);
    ASSERT_TRUE(runMainQueueUntil([&] { return window->pos() == QPoint(123, 145); }));
    const QRect left = window->frameGeometry();
    windowController.reset();

    const std::optional<std::string> stored =
        NSUserDefaults::standardUserDefaults().stringForKey("NSWindow Frame VLMMainWindow");
    ASSERT_TRUE(stored.has_value());

    makeWindowController();
    windowController->showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(window->frameGeometry(), left) << "not a title bar's height off";
}

TEST_F(VLMMainWindowControllerTest, AStoredPositionOnNoScreenIsCentredInstead)
{
    NSUserDefaults::standardUserDefaults().setString("2147483547 2147483547 800 530", "NSWindow Frame VLMMainWindow");
    makeWindowController();
    const QList<QScreen*> screens = QGuiApplication::screens();
    EXPECT_TRUE(std::any_of(screens.begin(), screens.end(),
                            [&](QScreen* screen) { return screen->availableGeometry().contains(window->geometry()); }));
}

TEST_F(VLMMainWindowControllerTest, AFirstLaunchCentresTheWindow)
{
    makeWindowController();
    const QRect screen = window->screen()->availableGeometry();
    EXPECT_NEAR(window->geometry().center().x(), screen.center().x(), 2);
    EXPECT_NEAR(window->geometry().center().y(), screen.center().y(), 2);
}

// At twice the pixel density on a screen 1000 pixels high the content is
// taller than the screen: the window fits, keeps its title bar on the screen,
// and every control can be reached from the keyboard.
TEST_F(VLMMainWindowControllerTest, OnAShortScreenTheContentScrollsAndTheTitleBarStays)
{
    makeWindowController();
    control<QCheckBox>(content(), "manualGainButton")->setChecked(true);
    windowController->showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    ASSERT_TRUE(moveToScreen(window, QStringLiteral("short")));
    control<QCheckBox>(content(), "manualGainButton")->click();
    control<QCheckBox>(content(), "manualGainButton")->click();
    const QRect available = window->screen()->availableGeometry();
    ASSERT_EQ(available.height(), 500);

    EXPECT_EQ(windowController->contentSize(), QSize(400, 594)) << "the content keeps its size";
    EXPECT_LE(window->frameGeometry().height(), available.height());
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "still not resizable";
    window->move(window->x(), available.top() - 60);
    EXPECT_TRUE(runMainQueueUntil([&] { return window->frameGeometry().top() >= available.top(); }))
        << "the title bar comes back onto the screen";

    auto* scrollView = qobject_cast<QScrollArea*>(content());
    ASSERT_NE(scrollView, nullptr);
    EXPECT_EQ(scrollView->verticalScrollBar()->maximum(), 594 - scrollView->viewport()->height());
    QWidget* reset = control<QPushButton>(content(), "resetGainButton");
    control<QComboBox>(content(), "microphonePopUpButton")->setFocus();
    for (int tab = 0; tab < 10 && QApplication::focusWidget() != reset; ++tab)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), reset);
    const QRect shown(reset->mapTo(scrollView->viewport(), QPoint()), reset->size());
    EXPECT_TRUE(scrollView->viewport()->rect().contains(shown)) << "the focused control is scrolled into view";

    ASSERT_TRUE(moveToScreen(window, QStringLiteral("hidpi")));
    EXPECT_TRUE(runMainQueueUntil([&] { return window->size() == QSize(400, 594); })) << "no scroller where it fits";
    EXPECT_EQ(scrollView->verticalScrollBar()->maximum(), 0);
}

// Qt's X11 plugin restores a minimized window whose geometry changes: a
// status change while minimized must not bring the window up; it is fitted
// when the user restores it.
TEST_F(VLMMainWindowControllerTest, AMinimizedWindowIsFittedWhenRestored)
{
    makeWindowController();
    showOn(QStringLiteral("hidpi"));
    apply(VLMAudioRouterStatus::ready());
    const QSize ready = window->size();
    window->showMinimized();
    apply(VLMAudioRouterStatus::driverMissing());
    EXPECT_EQ(window->size(), ready);
    EXPECT_TRUE(window->isMinimized());
    windowController->showWindow();
    EXPECT_EQ(window->size(), ready + QSize(0, 34));
}

// A long microphone name ends in an ellipsis at a whole character; the tool
// tip and the accessible value carry all of it.
TEST_F(VLMMainWindowControllerTest, ALongMicrophoneNameIsElidedWithItsWholeNameInTheToolTip)
{
    const QString name = QStringLiteral("Scarlett 2i2 USB Audio Interface — Rear Input 1 (Condenser, phantom power)");
    addMicrophone("long", name.toStdString());
    makeWindowController();
    router->refreshMicrophones();
    router->selectMicrophone("long");
    showOn(QStringLiteral("hidpi"));
    auto* popUp = control<QComboBox>(content(), "microphonePopUpButton");
    ASSERT_EQ(popUp->currentText(), name);
    EXPECT_EQ(popUp->toolTip(), name);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(popUp);
    ASSERT_NE(accessible, nullptr);
    EXPECT_TRUE(accessible->text(QAccessible::Value) == name || accessible->text(QAccessible::Name) == name);

    // What is painted: the title's start, then "…", and nothing cut mid-way.
    struct Spy : QProxyStyle {
        QStringList drawn;
        void drawItemText(QPainter* painter, const QRect& rect, int flags, const QPalette& palette, bool enabled,
                          const QString& text, QPalette::ColorRole role) const override
        {
            const_cast<Spy*>(this)->drawn << text;
            QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, role);
        }
    };
    auto* spy = new Spy;
    popUp->setStyle(spy);
    popUp->grab();
    ASSERT_FALSE(spy->drawn.isEmpty());
    const QString shown = spy->drawn.last();
    EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << qPrintable(shown);
    EXPECT_TRUE(name.startsWith(shown.chopped(1))) << qPrintable(shown);
    popUp->setStyle(nullptr);
    delete spy;
}

// The window as a user sees it on a 2x display, in every state it can show
// with manual gain on: it paints, and no visible button is left blank (each
// draws its frame and its title).
TEST_F(VLMMainWindowControllerTest, PaintsEveryStateWithNoBlankButton)
{
    addMicrophone("usb", "USB Microphone");
    makeWindowController();
    router->refreshMicrophones();
    showOn(QStringLiteral("hidpi"));
    control<QCheckBox>(content(), "manualGainButton")->click();
    for (const VLMAudioRouterStatus& status :
         {VLMAudioRouterStatus::starting(), VLMAudioRouterStatus::ready(), VLMAudioRouterStatus::driverMissing(),
          VLMAudioRouterStatus::microphonePermissionDenied(),
          VLMAudioRouterStatus::failed("The selected microphone is no longer available.")}) {
        apply(status);
        viewController().audioRouter(*router, 0.62f, VLMAudioSource::microphone);
        drainMainQueue();
        EXPECT_EQ(window->grab().toImage().width(), 800);
        for (QPushButton* button : content()->findChildren<QPushButton*>()) {
            if (!button->isVisible())
                continue;
            const QImage picture = button->grab().toImage();
            std::set<QRgb> colours;
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x)
                    colours.insert(picture.pixel(x, y));
            EXPECT_GT(colours.size(), 3u) << qPrintable(button->objectName()) << " in " << int(status.kind());
        }
    }
}

} // namespace
