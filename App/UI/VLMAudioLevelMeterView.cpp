#include "VLMAudioLevelMeterView.h"

#include "VLMAccessibility.h"
#include "VLMThemeColors.h"
#include "VLMTypography.h"

#include <QAccessible>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
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
    placeSegments();
}

void VLMAudioLevelMeterView::setLevel(float level)
{
    if (std::isnan(level) || level <= 0.0f)
        level = 0.0f;
    else if (level > 1.0f)
        level = 1.0f;
    // What is drawn depends only on how many segments are lit; levels arrive
    // many times a second, and most of them change nothing on screen.
    const int litBefore = litSegmentCount(level_);
    const int litNow = litSegmentCount(level);
    level_ = level;
    if (litNow != litBefore)
        update(segmentsArea(std::min(litBefore, litNow), std::max(litBefore, litNow)));
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

void VLMAudioLevelMeterView::placeSegments()
{
    const double boundsHeight = height();
    segmentHeight_ = std::min(boundsHeight, static_cast<double>(naturalHeight()));
    segmentTop_ = (boundsHeight - segmentHeight_) * 0.5;
}

QRectF VLMAudioLevelMeterView::segmentRect(int index) const
{
    return {index * segmentPitch, segmentTop_, segmentWidth, segmentHeight_};
}

void VLMAudioLevelMeterView::resizeEvent(QResizeEvent* event)
{
    placeSegments();
    QWidget::resizeEvent(event);
}

QRect VLMAudioLevelMeterView::segmentsArea(int first, int last) const
{
    QRectF area;
    for (int i = first; i < last; ++i)
        area |= segmentRect(i);
    return area.toAlignedRect().adjusted(-1, -1, 1, 1);
}

void VLMAudioLevelMeterView::prepareSegmentImages(double devicePixelRatio, QPointF deviceOffset)
{
    const QColor& purple = VLMThemeColors::purple();
    const QColor& teal = VLMThemeColors::teal();
    const QColor& pink = VLMThemeColors::pink();
    if (images_.purple == purple && images_.teal == teal && images_.pink == pink
        && images_.devicePixelRatio == devicePixelRatio && images_.deviceOffset == deviceOffset
        && images_.segmentTop == segmentTop_ && images_.segmentHeight == segmentHeight_)
        return;
    images_.purple = purple;
    images_.teal = teal;
    images_.pink = pink;
    images_.devicePixelRatio = devicePixelRatio;
    images_.deviceOffset = deviceOffset;
    images_.segmentTop = segmentTop_;
    images_.segmentHeight = segmentHeight_;

    auto draw = [&](const QRectF& rect, const QRect& pixels, const QColor& colour) {
        QImage image(pixels.size(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(devicePixelRatio);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        // The image's first pixel is the device pixel `pixels` starts at.
        painter.translate((deviceOffset - QPointF(pixels.topLeft())) / devicePixelRatio);
        painter.drawRoundedRect(rect, segmentCornerRadius, segmentCornerRadius);
        return image;
    };
    for (int i = 0; i < segmentCount; ++i) {
        const double t = i / static_cast<double>(segmentCount - 1);
        QColor colour = t <= 0.5 ? blended(purple, teal, 2 * t) : blended(teal, pink, 2 * (t - 0.5));
        const QRectF rect = segmentRect(i);
        const QRectF device(rect.topLeft() * devicePixelRatio + deviceOffset, rect.size() * devicePixelRatio);
        const QRect pixels = device.toAlignedRect().adjusted(-1, -1, 1, 1);
        images_.origins[i] = pixels.topLeft();
        colour.setAlphaF(static_cast<float>(litAlpha));
        images_.lit[i] = draw(rect, pixels, colour);
        colour.setAlphaF(static_cast<float>(unlitAlpha));
        images_.unlit[i] = draw(rect, pixels, colour);
    }
}

void VLMAudioLevelMeterView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    // The scale and the place of the view's origin on the device it is drawn
    // on (the window, or an image it is rendered into): the images are drawn
    // for its fraction of a pixel, so that copying them is exact.
    const QTransform device = painter.deviceTransform();
    const double devicePixelRatio = device.m11() > 0 ? device.m11() : 1.0;
    const QPointF origin = device.map(QPointF(0, 0));
    const QPointF fraction(origin.x() - std::floor(origin.x()), origin.y() - std::floor(origin.y()));
    prepareSegmentImages(devicePixelRatio, fraction);

    const int lit = litSegmentCount(level_);
    for (int i = 0; i < segmentCount; ++i) {
        if (!event->region().intersects(segmentsArea(i, i + 1)))
            continue;
        painter.drawImage((QPointF(images_.origins[i]) - fraction) / devicePixelRatio,
                          i < lit ? images_.lit[i] : images_.unlit[i]);
    }
}

bool VLMAudioLevelMeterView::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::ApplicationFontChange:
        placeSegments();
        update();
        break;
    case QEvent::PaletteChange:
    case QEvent::ApplicationPaletteChange:
    case QEvent::ThemeChange:
    case QEvent::StyleChange:
        // The theme colours may follow the palette: the next paint compares
        // them with the images' and draws the images again if they differ.
        update();
        break;
    default: break;
    }
    return QWidget::event(event);
}
