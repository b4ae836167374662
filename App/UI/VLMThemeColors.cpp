#include "VLMThemeColors.h"

#include "UI/SemanticColors.h"

#include <QPalette>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace VLMThemeColors {

namespace {

QColor design(int red, int green, int blue)
{
    return QColor::fromRgbF(red / 255.0f, green / 255.0f, blue / 255.0f, 1.0f);
}

QColor forWindow(const QColor& colour)
{
    return legibleOn(colour, SemanticColors::windowBackgroundColor(), graphicsContrast);
}

double channelLuminance(double c)
{
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& c)
{
    return 0.2126 * channelLuminance(c.redF()) + 0.7152 * channelLuminance(c.greenF()) +
           0.0722 * channelLuminance(c.blueF());
}

QColor mixed(const QColor& from, const QColor& toward, double fraction)
{
    auto mix = [fraction](double a, double b) { return static_cast<float>(a + (b - a) * fraction); };
    return QColor::fromRgbF(mix(from.redF(), toward.redF()), mix(from.greenF(), toward.greenF()),
                            mix(from.blueF(), toward.blueF()), from.alphaF());
}

// The least `fraction` in 0...1 (to 1/1024) at which `make(fraction)` reaches
// the ratio over `background`; contrast grows monotonically along each path.
template <class Make>
double leastFraction(Make make, const QColor& background, double ratio)
{
    double low = 0, high = 1;
    for (int i = 0; i < 10; ++i) {
        const double middle = (low + high) / 2;
        (contrastRatio(make(middle), background) >= ratio ? high : low) = middle;
    }
    return high;
}

} // namespace

QColor purple() { return forWindow(design(84, 19, 136)); }
QColor teal() { return design(11, 234, 173); }
QColor pink() { return design(255, 23, 124); }

QColor composited(const QColor& colour, const QColor& background)
{
    const double a = colour.alphaF();
    auto over = [a](double top, double bottom) { return static_cast<float>(top * a + bottom * (1 - a)); };
    return QColor::fromRgbF(over(colour.redF(), background.redF()), over(colour.greenF(), background.greenF()),
                            over(colour.blueF(), background.blueF()), 1.0f);
}

double contrastRatio(const QColor& foreground, const QColor& background)
{
    const QColor base = composited(background, Qt::white);
    const double a = luminance(composited(foreground, base));
    const double b = luminance(base);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor legibleOn(const QColor& colour, const QColor& background, double required)
{
    if (contrastRatio(colour, background) >= required)
        return colour;
    // A little over, so that the colour still reaches it in 8-bit pixels.
    const double ratio = required * 1.01;
    QColor opaque = colour;
    opaque.setAlphaF(1.0f);
    if (contrastRatio(opaque, background) >= ratio) {
        const double alpha = colour.alphaF();
        const double fraction = leastFraction(
            [&](double f) {
                QColor c = colour;
                c.setAlphaF(static_cast<float>(alpha + (1 - alpha) * f));
                return c;
            },
            background, ratio);
        QColor result = colour;
        result.setAlphaF(static_cast<float>(alpha + (1 - alpha) * fraction));
        return result;
    }
    const QColor base = composited(background, Qt::white);
    const QColor extreme = luminance(base) > 0.18 ? QColor(Qt::black) : QColor(Qt::white);
    const double fraction =
        leastFraction([&](double f) { return mixed(opaque, extreme, f); }, background, ratio);
    return mixed(opaque, extreme, fraction);
}

QColor controlEdge(const QColor& backdrop)
{
    QColor edge = SemanticColors::labelColor();
    edge.setAlphaF(0.3f);
    return composited(legibleOn(edge, backdrop, graphicsContrast), backdrop);
}

QColor focusableEdge(const QWidget* control, const QColor& backdrop)
{
    if (!control->hasFocus())
        return controlEdge(backdrop);
    return composited(legibleOn(control->palette().color(QPalette::Highlight), backdrop, graphicsContrast), backdrop);
}

} // namespace VLMThemeColors
