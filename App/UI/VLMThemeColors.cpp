#include "VLMThemeColors.h"

namespace VLMThemeColors {

const QColor& purple()
{
    static const QColor color = QColor::fromRgbF(84 / 255.0f, 19 / 255.0f, 136 / 255.0f, 1.0f);
    return color;
}

const QColor& teal()
{
    static const QColor color = QColor::fromRgbF(11 / 255.0f, 234 / 255.0f, 173 / 255.0f, 1.0f);
    return color;
}

const QColor& pink()
{
    static const QColor color = QColor::fromRgbF(255 / 255.0f, 23 / 255.0f, 124 / 255.0f, 1.0f);
    return color;
}

} // namespace VLMThemeColors
