#pragma once
// The meters' frame clock: calls `tick` at most once per refresh of the
// screen that shows the view (and no more often than the minimum interval
// allows), and only while that is worth doing: enabled
// (audio runs) and the view's window shown, not minimized and exposed.
// Otherwise no timer runs, so a hidden window costs no wake-ups. It also
// says when whether the view can be seen changes (first when made).

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class QWidget;
class QWindow;

class VLMMeterRefresh : public QObject {
    Q_OBJECT
public:
    // A child of `view`, so it goes with it.
    VLMMeterRefresh(QWidget* view, std::function<void()> tick, std::function<void(bool seen)> seenChanged = {});

    void setEnabled(bool enabled);
    // Ticks faster than levels are measured would mostly find nothing new.
    void setMinimumInterval(int milliseconds);
    bool isRunning() const { return timer_.isActive(); }
    int intervalMilliseconds() const { return timer_.interval(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchWindow();
    bool canBeSeen() const;
    void startOrStop();
    void fire();

    QWidget* const view_;
    const std::function<void()> tick_;
    const std::function<void(bool)> seenChanged_;
    int seen_ = -1;  // unknown until first asked
    QPointer<QWidget> topLevel_;
    QPointer<QWindow> window_;
    QTimer timer_;
    bool enabled_ = false;
    int minimumInterval_ = 0;
};
