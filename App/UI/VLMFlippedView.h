#pragma once
// The main view's root: origin top-left, y growing downwards (as every
// QWidget), drawing nothing. Its controller places the subviews itself:
// once per size change, and once after each request for layout.

#include <QWidget>

#include <functional>

class VLMFlippedView : public QWidget {
    Q_OBJECT
public:
    explicit VLMFlippedView(const QRect& frame, QWidget* parent = nullptr);

    bool isFlipped() const { return true; }

    // Places the subviews; set by the view's controller.
    std::function<void()> layoutHandler;

    // Asks for one layout pass before the next paint; many requests, one pass.
    void setNeedsLayout();
    bool needsLayout() const { return needsLayout_; }
    // Runs the pass now if one was asked for.
    void layoutSubtreeIfNeeded();

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void layout();

    bool needsLayout_ = false;
};
