#include "VLMMainWindowController.h"

#include "VLMFlippedView.h"
#include "VLMMainViewController.h"

#include "NSUserDefaults.h"

#include <QGuiApplication>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include <cmath>

namespace {

// The window's width in device pixels on every display.
constexpr double widthInPixels = 800;

// A main window that reports where the user moved it.
class VLMWindow final : public QMainWindow {
public:
    using QMainWindow::create;

    std::function<void()> frameDidChange;
    std::function<void()> sizeDidChange;
    std::function<void()> didExpose;
    std::function<void()> didLeaveMinimized;

protected:
    void moveEvent(QMoveEvent* event) override
    {
        QMainWindow::moveEvent(event);
        if (frameDidChange)
            frameDidChange();
    }

    void showEvent(QShowEvent* event) override
    {
        QMainWindow::showEvent(event);
        exposedSinceShown_ = false;
    }

    // The window has neither full screen nor maximize, whatever the window
    // manager offers (openbox offers full screen to every normal window).
    void changeEvent(QEvent* event) override
    {
        QMainWindow::changeEvent(event);
        const Qt::WindowStates refused = Qt::WindowFullScreen | Qt::WindowMaximized;
        if (event->type() != QEvent::WindowStateChange)
            return;
        if (windowState() & refused)
            setWindowState(windowState() & ~refused);
        if ((static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized) && !isMinimized() &&
            didLeaveMinimized)
            didLeaveMinimized();
    }

    // The window manager has framed the window by the time it is first
    // exposed; the frame's size is known from then on.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Expose && watched == windowHandle() && !exposedSinceShown_ &&
            windowHandle()->isExposed()) {
            exposedSinceShown_ = true;
            if (didExpose)
                didExpose();
        }
        return QMainWindow::eventFilter(watched, event);
    }

private:
    bool exposedSinceShown_ = false;

    void resizeEvent(QResizeEvent* event) override
    {
        QMainWindow::resizeEvent(event);
        if (sizeDidChange)
            sizeDidChange();
    }
};

QString frameKey(const QString& name)
{
    return QStringLiteral("NSWindow Frame ") + name;
}

} // namespace

VLMMainWindowController::VLMMainWindowController(std::shared_ptr<VLMAudioRouter> router)
{
    mainViewController_ = VLMMainViewController::create(std::move(router));

    auto window = std::make_unique<VLMWindow>();
    // The content keeps its size; on a screen too short for it, the window
    // shows part of it and scrolls, so every control stays reachable.
    auto* scrollView = new QScrollArea;
    scrollView->setObjectName(QStringLiteral("contentScrollView"));
    scrollView->setFrameShape(QFrame::NoFrame);
    scrollView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollView->setWidgetResizable(false);
    scrollView->setWidget(mainViewController_->view());
    window->setCentralWidget(scrollView);
    window->setWindowTitle(QStringLiteral("Velmora Studio Connect"));
    // Titled, closable, miniaturizable; neither resizable nor full screen.
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    // The screen, and with it the device pixel ratio, is known from here on.
    window->create();
    window->windowHandle()->installEventFilter(window.get());
    window_ = std::move(window);

    fitWindowToContent();
    center();
    setFrameAutosaveName(QString::fromLatin1(frameAutosaveName));

    QPointer<VLMMainWindowController> weakSelf(this);
    mainViewController_->contentHeightDidChange = [weakSelf](double) {
        if (weakSelf)
            weakSelf->fitWindowToContent();
    };
    // Qt 6.4 has no device-pixel-ratio change signal; the ratio changes when
    // the window moves to another screen.
    backingPropertiesObserver = connect(window_->windowHandle(), &QWindow::screenChanged, this, [weakSelf] {
        if (weakSelf)
            weakSelf->fitWindowToContent();
    });
    auto* shownWindow = static_cast<VLMWindow*>(window_.get());
    shownWindow->frameDidChange = [weakSelf] {
        if (!weakSelf)
            return;
        // The frame is known once the window manager has framed the window:
        // from then on the fit can leave room for the title bar.
        if (weakSelf->window_->frameGeometry().size() != weakSelf->framedSize_)
            weakSelf->fitWindowToContent();
        weakSelf->keepTitleBarOnScreen(false);
        weakSelf->saveFrame();
    };
    shownWindow->didLeaveMinimized = [weakSelf] {
        if (weakSelf && weakSelf->fitPending_)
            weakSelf->fitWindowToContent();
    };
    shownWindow->didExpose = [weakSelf] {
        if (!weakSelf)
            return;
        weakSelf->fitWindowToContent();
        weakSelf->keepTitleBarOnScreen(true);
    };
    // Moving to a screen of another pixel ratio, the platform may hand the
    // window its old size in the new ratio after the screen change has been
    // announced: the fitted size is put back at once.
    shownWindow->sizeDidChange = [weakSelf] {
        if (weakSelf && weakSelf->window_->size() != weakSelf->window_->maximumSize())
            weakSelf->fitWindowToContent();
    };
}

VLMMainWindowController::~VLMMainWindowController()
{
    disconnect(backingPropertiesObserver);
    static_cast<VLMWindow*>(window_.get())->frameDidChange = nullptr;
    static_cast<VLMWindow*>(window_.get())->sizeDidChange = nullptr;
    static_cast<VLMWindow*>(window_.get())->didExpose = nullptr;
    static_cast<VLMWindow*>(window_.get())->didLeaveMinimized = nullptr;
    mainViewController_->contentHeightDidChange = nullptr;
    // The view controller takes its view out of the window before the
    // window goes.
    mainViewController_.reset();
    window_.reset();
}

QMainWindow* VLMMainWindowController::window() const
{
    return window_.get();
}

void VLMMainWindowController::showWindow()
{
    const bool firstShow = !window_->isVisible() && !window_->focusWidget();
    // Every way back brings the window out of the task list, too.
    if (window_->isMinimized())
        window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (firstShow)
        mainViewController_->initialFirstResponder()->setFocus(Qt::ActiveWindowFocusReason);
}

void VLMMainWindowController::setMenuBar(QMenuBar* menuBar)
{
    window_->setMenuBar(menuBar);
    fitWindowToContent();
}

QSize VLMMainWindowController::contentSize() const
{
    return mainViewController_->view()->size();
}

void VLMMainWindowController::fitWindowToContent()
{
    if (!window_)
        return;
    // Qt's X11 plugin takes any change of a minimized window's geometry as a
    // request to restore it: the fit waits until the user brings it back.
    fitPending_ = window_->isVisible() && window_->isMinimized();
    if (fitPending_)
        return;
    double scale = window_->windowHandle() ? window_->windowHandle()->devicePixelRatio() : window_->devicePixelRatioF();
    if (scale <= 1)
        scale = 1;

    const QSize content(static_cast<int>(std::lround(widthInPixels / scale)),
                        static_cast<int>(std::lround(mainViewController_->preferredContentHeight())));

    // A menu bar drawn inside the window sits above the content.
    int menuHeight = 0;
    if (auto* menuBar = qobject_cast<QMenuBar*>(window_->menuWidget()); menuBar && !menuBar->isNativeMenuBar())
        menuHeight = std::max(menuBar->heightForWidth(content.width()), menuBar->sizeHint().height());
    QSize frame(content.width(), content.height() + menuHeight);

    // Too tall for the screen's free height, less the window manager's
    // frame: as tall as fits, with a scroller beside the content.
    auto* scrollView = static_cast<QScrollArea*>(window_->centralWidget());
    const int decorations = window_->frameGeometry().height() - window_->geometry().height();
    if (QScreen* screen = window_->screen()) {
        const int fitting = screen->availableGeometry().height() - decorations;
        if (frame.height() > fitting) {
            frame.setHeight(std::max(fitting, menuHeight + 1));
            frame.rwidth() += scrollView->verticalScrollBar()->sizeHint().width();
        }
    }

    window_->setMinimumSize(frame);
    window_->setMaximumSize(frame);
    window_->resize(frame);
    mainViewController_->view()->resize(content);
    scrollView->setVerticalScrollBarPolicy(frame.width() > content.width() ? Qt::ScrollBarAlwaysOn
                                                                           : Qt::ScrollBarAlwaysOff);
    framedSize_ = window_->frameGeometry().size();
    if (QLayout* layout = window_->layout())
        layout->activate();
}

void VLMMainWindowController::center()
{
    QScreen* screen = window_->screen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    window_->move(available.center() - QPoint(window_->width() / 2, window_->height() / 2));
}

// The title bar is how the user moves the window: it never goes above the
// screen's free area. When first framed after a show, the whole frame is
// brought onto the screen as far as it fits.
void VLMMainWindowController::keepTitleBarOnScreen(bool wholeFrame)
{
    QScreen* screen = window_->screen();
    if (!screen || !window_->isVisible() || window_->isMinimized())
        return;
    const QRect available = screen->availableGeometry();
    const QRect frame = window_->frameGeometry();
    QPoint position = frame.topLeft();
    if (wholeFrame) {
        position.setX(std::max(available.left(), std::min(position.x(), available.right() + 1 - frame.width())));
        position.setY(std::min(position.y(), available.bottom() + 1 - frame.height()));
    }
    position.setY(std::max(position.y(), available.top()));
    if (position != frame.topLeft())
        window_->move(position);
}

void VLMMainWindowController::setFrameAutosaveName(const QString& name)
{
    autosaveName_ = name;
    const std::optional<std::string> stored =
        NSUserDefaults::standardUserDefaults().stringForKey(frameKey(name).toStdString());
    if (!stored)
        return saveFrame();
    // "x y width height" of the content's frame: only the position is taken,
    // as the size is fixed; and only when it still lies on a screen. The
    // content's position is what the window manager keeps exactly, whatever
    // frame it then draws around it.
    const QStringList parts = QString::fromStdString(*stored).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 4)
        return;
    bool okX = false;
    bool okY = false;
    const QPoint position(parts[0].toInt(&okX), parts[1].toInt(&okY));
    if (!okX || !okY)
        return;
    // In floating point: a hand-edited position near INT_MAX would overflow
    // QRect's right edge and seem to intersect every screen. A frame on no
    // screen leaves the window centred, where a new window goes.
    const QRectF frame(QPointF(position), QSizeF(window_->size()));
    for (QScreen* screen : QGuiApplication::screens()) {
        if (QRectF(screen->availableGeometry()).intersects(frame)) {
            window_->setGeometry(QRect(position, window_->size()));
            return;
        }
    }
}

void VLMMainWindowController::saveFrame()
{
    if (autosaveName_.isEmpty())
        return;
    const QPoint position = window_->geometry().topLeft();
    const QString value = QStringLiteral("%1 %2 %3 %4")
                              .arg(position.x())
                              .arg(position.y())
                              .arg(window_->width())
                              .arg(window_->height());
    NSUserDefaults::standardUserDefaults().setString(value.toStdString(), frameKey(autosaveName_).toStdString());
}
