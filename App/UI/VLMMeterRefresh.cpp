#include "VLMMeterRefresh.h"

#include <QEvent>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>

VLMMeterRefresh::VLMMeterRefresh(QWidget* view, std::function<void()> tick, std::function<void(bool)> seenChanged)
    : QObject(view), view_(view), tick_(std::move(tick)), seenChanged_(std::move(seenChanged))
{
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &VLMMeterRefresh::fire);
    view_->installEventFilter(this);
    watchWindow();
    startOrStop();
}

VLMMeterRefresh::~VLMMeterRefresh() = default;

void VLMMeterRefresh::setReadyDescriptor(int descriptor)
{
    ready_.reset();
    if (descriptor >= 0) {
        ready_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
        ready_->setEnabled(false);
        connect(ready_.get(), &QSocketNotifier::activated, this, &VLMMeterRefresh::somethingNew);
        timer_.setSingleShot(true);
    } else {
        timer_.setSingleShot(false);
    }
    timer_.stop();
    running_ = false;
    startOrStop();
}

void VLMMeterRefresh::setEnabled(bool enabled)
{
    enabled_ = enabled;
    startOrStop();
}

void VLMMeterRefresh::setMinimumInterval(int milliseconds)
{
    minimumInterval_ = milliseconds;
    startOrStop();
}

bool VLMMeterRefresh::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ParentChange:
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::WindowStateChange:
    case QEvent::Expose:
    case QEvent::ScreenChangeInternal:
        if (watched == view_)
            watchWindow();
        startOrStop();
        break;
    default: break;
    }
    return QObject::eventFilter(watched, event);
}

// The view's top-level widget and its platform window change when the view is
// put into a window and when that window is first shown.
void VLMMeterRefresh::watchWindow()
{
    QWidget* topLevel = view_->window();
    if (topLevel != topLevel_) {
        if (topLevel_ && topLevel_ != view_)
            topLevel_->removeEventFilter(this);
        topLevel_ = topLevel;
        if (topLevel_ != view_)
            topLevel_->installEventFilter(this);
    }
    QWindow* window = topLevel_->windowHandle();
    if (window != window_) {
        if (window_)
            window_->removeEventFilter(this);
        window_ = window;
        if (window_)
            window_->installEventFilter(this);
    }
}

bool VLMMeterRefresh::canBeSeen() const
{
    return view_->isVisible() && window_ && window_->isExposed()
        && !(topLevel_->windowState() & Qt::WindowMinimized);
}

void VLMMeterRefresh::startOrStop()
{
    const bool seen = canBeSeen();
    if (int(seen) != seen_) {
        seen_ = seen;
        if (seenChanged_)
            seenChanged_(seen);
    }
    const QScreen* screen = window_ ? window_->screen() : nullptr;
    const double hertz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    // Rounded up: never faster than the screen can show.
    interval_ = std::max(static_cast<int>(std::ceil(1000.0 / hertz)), minimumInterval_);
    const bool run = enabled_ && seen;
    if (run == running_ && (!run || ready_ || timer_.interval() == interval_))
        return;
    running_ = run;
    if (!run) {
        timer_.stop();
        if (ready_)
            ready_->setEnabled(false);
    } else if (ready_) {
        timer_.setInterval(interval_);
        ready_->setEnabled(!timer_.isActive());
    } else {
        timer_.start(interval_);
    }
}

// The descriptor says something new waits: shown now, or once the interval
// since the last tick has passed (meanwhile the descriptor is not watched:
// it stays readable until the tick).
void VLMMeterRefresh::somethingNew()
{
    const qint64 since = sinceTick_.isValid() ? sinceTick_.elapsed() : interval_;
    if (since >= interval_) {
        fire();
        return;
    }
    ready_->setEnabled(false);
    timer_.start(int(interval_ - since));
}

void VLMMeterRefresh::fire()
{
    // Some ways of hiding a window (another window covering it) send no event we watch.
    if (!canBeSeen()) {
        startOrStop();
        return;
    }
    sinceTick_.start();
    tick_();
    if (ready_)
        ready_->setEnabled(true);
}
