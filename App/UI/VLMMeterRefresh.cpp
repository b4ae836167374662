#include "VLMMeterRefresh.h"

#include <QEvent>
#include <QScreen>
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
    if (!enabled_ || !seen) {
        timer_.stop();
        return;
    }
    const QScreen* screen = window_->screen();
    const double hertz = screen && screen->refreshRate() > 1 ? screen->refreshRate() : 60.0;
    // Rounded up: never faster than the screen can show.
    const int interval = std::max(static_cast<int>(std::ceil(1000.0 / hertz)), minimumInterval_);
    if (!timer_.isActive() || timer_.interval() != interval)
        timer_.start(interval);
}

void VLMMeterRefresh::fire()
{
    // Some ways of hiding a window (another window covering it) send no event we watch.
    if (!canBeSeen()) {
        timer_.stop();
        return;
    }
    tick_();
}
