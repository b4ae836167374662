#include "SemanticColors.h"

#include <QGuiApplication>
#include <QPalette>

namespace SemanticColors {

namespace {

QPalette palette()
{
    return QGuiApplication::palette();
}

// The label colours are the text colour at falling opacities, as on the
// platform the program was first drawn for.
QColor textWithAlpha(double alpha)
{
    QColor color = palette().color(QPalette::Active, QPalette::WindowText);
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

} // namespace

bool isDarkAppearance()
{
    return palette().color(QPalette::Active, QPalette::Window).lightness() < 128;
}

QColor labelColor()
{
    return textWithAlpha(0.85);
}

QColor secondaryLabelColor()
{
    return textWithAlpha(isDarkAppearance() ? 0.55 : 0.5);
}

QColor tertiaryLabelColor()
{
    return textWithAlpha(0.26);
}

QColor quaternaryLabelColor()
{
    return textWithAlpha(isDarkAppearance() ? 0.16 : 0.1);
}

QColor windowBackgroundColor()
{
    return palette().color(QPalette::Active, QPalette::Window);
}

QColor controlBackgroundColor()
{
    return palette().color(QPalette::Active, QPalette::Base);
}

QColor separatorColor()
{
    return textWithAlpha(isDarkAppearance() ? 0.2 : 0.1);
}

QColor systemOrangeColor()
{
    return isDarkAppearance() ? QColor(255, 159, 10) : QColor(255, 149, 0);
}

} // namespace SemanticColors
