#pragma once
// A small spinning, indeterminate progress indicator.

#include <QBasicTimer>
#include <QWidget>

class VLMProgressIndicator : public QWidget {
public:
    enum class Style { bar = 0, spinning = 1 };
    enum class ControlSize { regular = 0, small = 1, mini = 2 };

    explicit VLMProgressIndicator(QWidget* parent = nullptr);

    Style style() const { return style_; }
    void setStyle(Style style) { style_ = style; }
    ControlSize controlSize() const { return controlSize_; }
    void setControlSize(ControlSize size) { controlSize_ = size; }
    bool isIndeterminate() const { return indeterminate_; }
    void setIndeterminate(bool indeterminate) { indeterminate_ = indeterminate; }

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return animating_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateTimer();

    Style style_ = Style::bar;
    ControlSize controlSize_ = ControlSize::regular;
    bool indeterminate_ = true;
    bool animating_ = false;
    int phase_ = 0;
    QBasicTimer timer_;
};
