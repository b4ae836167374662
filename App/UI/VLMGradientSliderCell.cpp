#include "VLMGradientSliderCell.h"

#include "UI/SemanticColors.h"
#include "VLMThemeColors.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <cmath>

namespace {

// Knob positions: fine enough that a drag moves the gain smoothly.
constexpr int positionSteps = 10000;

} // namespace

VLMGradientSliderCell::VLMGradientSliderCell(QWidget* parent) : QSlider(Qt::Horizontal, parent)
{
    movingFromCode_ = true;
    setRange(0, positionSteps);
    setSingleStep(positionSteps / 100);
    setPageStep(positionSteps / 10);
    movingFromCode_ = false;
}

void VLMGradientSliderCell::setMinValue(double value)
{
    minValue_ = value;
    moveKnob();
}

void VLMGradientSliderCell::setMaxValue(double value)
{
    maxValue_ = value;
    moveKnob();
}

void VLMGradientSliderCell::setDoubleValue(double value)
{
    doubleValue_ = value;
    moveKnob();
}

int VLMGradientSliderCell::positionFor(double value) const
{
    const double range = maxValue_ - minValue_;
    if (!(range > 0))
        return 0;
    const double fraction = std::clamp((value - minValue_) / range, 0.0, 1.0);
    return static_cast<int>(std::lround(fraction * positionSteps));
}

void VLMGradientSliderCell::moveKnob()
{
    movingFromCode_ = true;
    setValue(positionFor(doubleValue_));
    movingFromCode_ = false;
    update();
}

void VLMGradientSliderCell::sliderChange(SliderChange change)
{
    QSlider::sliderChange(change);
    if (change != SliderValueChange || movingFromCode_)
        return;
    doubleValue_ = minValue_ + (maxValue_ - minValue_) * value() / positionSteps;
    emit actionSent();
}

void VLMGradientSliderCell::drawBar(QPainter& painter, const QRectF& rect, bool) const
{
    const double inset = std::max(0.0, (rect.height() - trackThickness) * 0.5);
    const QRectF track = rect.adjusted(0, inset, 0, -inset);
    QPainterPath trackPath;
    trackPath.addRoundedRect(track, trackCornerRadius, trackCornerRadius);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillPath(trackPath, SemanticColors::quaternaryLabelColor());

    const double range = maxValue_ - minValue_;
    if (range > 0) {
        double fraction = (doubleValue_ - minValue_) / range;
        if (fraction <= 0)
            fraction = 0;
        else if (fraction > 1)
            fraction = 1;
        const QRectF slice(track.left(), track.top(), fraction * track.width(), track.height());
        if (slice.width() > 0) {
            const double alpha = isEnabled() ? 1.0 : disabledAlpha;
            QLinearGradient gradient(track.left(), 0, track.right(), 0);
            const QColor stops[] = {VLMThemeColors::purple(), VLMThemeColors::teal(), VLMThemeColors::pink()};
            for (int i = 0; i < 3; ++i) {
                QColor colour = stops[i];
                colour.setAlphaF(static_cast<float>(alpha));
                gradient.setColorAt(i * 0.5, colour);
            }
            painter.setClipPath(trackPath);
            painter.setClipRect(slice, Qt::IntersectClip);
            painter.fillRect(track, gradient);
        }
    }
    painter.restore();
}

void VLMGradientSliderCell::setBackdropColor(const QColor& color)
{
    backdrop_ = color;
    update();
}

void VLMGradientSliderCell::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    drawBar(painter, groove, true);
    option.subControls = QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
    if (!isEnabled())
        return;
    // The knob keeps an edge that shows against the backdrop.
    const QRectF knob = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    const QColor backdrop = backdrop_.isValid() ? backdrop_ : SemanticColors::windowBackgroundColor();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(VLMThemeColors::focusableEdge(this, backdrop), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(knob.adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
}
