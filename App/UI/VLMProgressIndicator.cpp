#include "VLMProgressIndicator.h"

#include "UI/SemanticColors.h"

#include <QPainter>
#include <QTimerEvent>

#include <cmath>

namespace {

constexpr int spokeCount = 12;
constexpr int stepMilliseconds = 80;  // one turn a second, smooth enough

} // namespace

VLMProgressIndicator::VLMProgressIndicator(QWidget* parent) : QWidget(parent) {}

void VLMProgressIndicator::startAnimation()
{
    animating_ = true;
    updateTimer();
    update();
}

void VLMProgressIndicator::stopAnimation()
{
    animating_ = false;
    updateTimer();
    update();
}

QSize VLMProgressIndicator::sizeHint() const
{
    switch (controlSize_) {
    case ControlSize::regular: return {32, 32};
    case ControlSize::small: return {16, 16};
    case ControlSize::mini: return {10, 10};
    }
    return {16, 16};
}

// The timer runs only while the spinner animates and can be seen, so a
// hidden spinner costs nothing.
void VLMProgressIndicator::updateTimer()
{
    if (animating_ && isVisible())
        timer_.start(stepMilliseconds, this);
    else
        timer_.stop();
}

void VLMProgressIndicator::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    updateTimer();
}

void VLMProgressIndicator::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    updateTimer();
}

void VLMProgressIndicator::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer_.timerId())
        return QWidget::timerEvent(event);
    phase_ = (phase_ + 1) % spokeCount;
    update();
}

void VLMProgressIndicator::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const double side = std::min(width(), height());
    const double outer = side / 2;
    const double inner = outer * 0.48;
    const double thickness = std::max(1.5, side / 9);
    painter.translate(width() / 2.0, height() / 2.0);
    QColor colour = SemanticColors::labelColor();
    const double baseAlpha = colour.alphaF();
    for (int i = 0; i < spokeCount; ++i) {
        // The leading spoke is darkest; the others fade behind it.
        const int age = (phase_ - i + spokeCount) % spokeCount;
        const double fade = animating_ ? 1.0 - age / static_cast<double>(spokeCount) : 0.35;
        colour.setAlphaF(static_cast<float>(baseAlpha * std::max(0.18, fade)));
        painter.setPen(QPen(colour, thickness, Qt::SolidLine, Qt::RoundCap));
        const double angle = 2 * M_PI * i / spokeCount - M_PI / 2;
        const QPointF direction(std::cos(angle), std::sin(angle));
        painter.drawLine(direction * (inner + thickness / 2), direction * (outer - thickness / 2));
    }
}
