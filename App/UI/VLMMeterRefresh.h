#pragma once
// The meters' frame clock: calls `tick` at most once per refresh of the
// screen that shows the view (and no more often than the minimum interval
// allows), and only while that is worth doing: enabled (audio runs) and the
// view's window shown, not minimized and exposed. Given a descriptor that is
// readable when something new is to be shown, it ticks only then (the first
// tick at once, later ones no sooner than the interval after the last), so
// meters that show the same cost no wake-ups; without one it ticks on a
// timer. Unseen, nothing runs at all. It also says when whether the view can
// be seen changes (first when made).

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class QSocketNotifier;
class QWidget;
class QWindow;

class VLMMeterRefresh : public QObject {
    Q_OBJECT
public:
    // A child of `view`, so it goes with it.
    VLMMeterRefresh(QWidget* view, std::function<void()> tick, std::function<void(bool seen)> seenChanged = {});
    ~VLMMeterRefresh() override;

    void setEnabled(bool enabled);
    // Ticks faster than levels are measured would mostly find nothing new.
    void setMinimumInterval(int milliseconds);
    // Readable while something new waits; `tick` must leave it unreadable.
    void setReadyDescriptor(int descriptor);
    // Whether it ticks when there is something to show (it does, while enabled and seen).
    bool isRunning() const { return running_; }
    // The least time between two ticks.
    int intervalMilliseconds() const { return interval_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void watchWindow();
    bool canBeSeen() const;
    void startOrStop();
    void somethingNew();
    void fire();

    QWidget* const view_;
    const std::function<void()> tick_;
    const std::function<void(bool)> seenChanged_;
    int seen_ = -1;  // unknown until first asked
    QPointer<QWidget> topLevel_;
    QPointer<QWindow> window_;
    std::unique_ptr<QSocketNotifier> ready_;
    QTimer timer_;  // the clock without a descriptor; the wait for the interval with one
    QElapsedTimer sinceTick_;
    bool enabled_ = false;
    bool running_ = false;
    int minimumInterval_ = 0;
    int interval_ = 0;
};
