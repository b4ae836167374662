#include "VLMAudioLevelMeterView.h"

#include "VLMAccessibility.h"
#include "VLMThemeColors.h"
#include "VLMTypography.h"

#include <QAccessible>
#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace {

// The platform's linear blend: each component and alpha move by `fraction`.
QColor blended(const QColor& from, const QColor& toward, double fraction)
{
    auto mix = [fraction](double a, double b) { return static_cast<float>((1 - fraction) * a + fraction * b); };
    return QColor::fromRgbF(mix(from.redF(), toward.redF()), mix(from.greenF(), toward.greenF()),
                            mix(from.blueF(), toward.blueF()), mix(from.alphaF(), toward.alphaF()));
}

} // namespace

VLMAudioLevelMeterView::VLMAudioLevelMeterView(const QString& accessibilityLabel, QWidget* parent)
    : QWidget(parent)
{
    VLMInstallAccessibility();
    setAccessibleName(accessibilityLabel);
}

void VLMAudioLevelMeterView::setLevel(float level)
{
    if (std::isnan(level) || level <= 0.0f)
        level = 0.0f;
    else if (level > 1.0f)
        level = 1.0f;
    // What is drawn depends only on how many segments are lit; levels arrive
    // many times a second, and most of them change nothing on screen.
    const bool redraw = litSegmentCount(level) != litSegmentCount(level_);
    level_ = level;
    if (redraw)
        update();
    // Read on demand, never announced: a level changes many times a second,
    // and screen readers speak every value event of a level bar.
    accessibilityValue_ = static_cast<int>(level_ * 100.0f);
}

int VLMAudioLevelMeterView::litSegmentCount(float level)
{
    return static_cast<int>(std::ceil(level * static_cast<float>(segmentCount)));
}

int VLMAudioLevelMeterView::naturalHeight()
{
    return static_cast<int>(std::ceil(QFontMetricsF(VLMTypography::appFont(18, NSFontWeightSemibold)).capHeight()));
}

QSize VLMAudioLevelMeterView::sizeHint() const
{
    return {static_cast<int>(naturalWidth), naturalHeight()};
}

void VLMAudioLevelMeterView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);

    const double boundsHeight = height();
    const double segmentHeight = std::min(boundsHeight, static_cast<double>(naturalHeight()));
    const double y = (boundsHeight - segmentHeight) * 0.5;
    const int lit = litSegmentCount(level_);

    for (int i = 0; i < segmentCount; ++i) {
        const double t = i / static_cast<double>(segmentCount - 1);
        QColor colour = t <= 0.5 ? blended(VLMThemeColors::purple(), VLMThemeColors::teal(), 2 * t)
                                 : blended(VLMThemeColors::teal(), VLMThemeColors::pink(), 2 * (t - 0.5));
        colour.setAlphaF(static_cast<float>(i < lit ? litAlpha : unlitAlpha));
        painter.setBrush(colour);
        painter.drawRoundedRect(QRectF(i * segmentPitch, y, segmentWidth, segmentHeight), segmentCornerRadius,
                                segmentCornerRadius);
    }
}
