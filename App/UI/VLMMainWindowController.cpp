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
#include <QWindow>

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

protected:
    void moveEvent(QMoveEvent* event) override
    {
        QMainWindow::moveEvent(event);
        if (frameDidChange)
            frameDidChange();
    }

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
    window->setCentralWidget(mainViewController_->view());
    window->setWindowTitle(QStringLiteral("Velmora Studio Connect"));
    // Titled, closable, miniaturizable; neither resizable nor full screen.
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    // The screen, and with it the device pixel ratio, is known from here on.
    window->create();
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
        if (weakSelf)
            weakSelf->saveFrame();
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
    double scale = window_->windowHandle() ? window_->windowHandle()->devicePixelRatio() : window_->devicePixelRatioF();
    if (scale <= 1)
        scale = 1;

    const QSize content(static_cast<int>(std::lround(widthInPixels / scale)),
                        static_cast<int>(std::lround(mainViewController_->preferredContentHeight())));

    // A menu bar drawn inside the window sits above the content.
    int menuHeight = 0;
    if (auto* menuBar = qobject_cast<QMenuBar*>(window_->menuWidget()); menuBar && !menuBar->isNativeMenuBar())
        menuHeight = std::max(menuBar->heightForWidth(content.width()), menuBar->sizeHint().height());
    const QSize frame(content.width(), content.height() + menuHeight);

    window_->setMinimumSize(frame);
    window_->setMaximumSize(frame);
    window_->resize(frame);
    mainViewController_->view()->resize(content);
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

void VLMMainWindowController::setFrameAutosaveName(const QString& name)
{
    autosaveName_ = name;
    const std::optional<std::string> stored =
        NSUserDefaults::standardUserDefaults().stringForKey(frameKey(name).toStdString());
    if (!stored)
        return saveFrame();
    // "x y width height": only the position is taken, as the size is fixed;
    // and only when it still lies on a screen.
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
            window_->move(position);
            return;
        }
    }
}

void VLMMainWindowController::saveFrame()
{
    if (autosaveName_.isEmpty())
        return;
    // The position is the frame's, as move() takes it.
    const QPoint position = window_->pos();
    const QString value = QStringLiteral("%1 %2 %3 %4")
                              .arg(position.x())
                              .arg(position.y())
                              .arg(window_->width())
                              .arg(window_->height());
    NSUserDefaults::standardUserDefaults().setString(value.toStdString(), frameKey(autosaveName_).toStdString());
}
