#pragma once
// The three theme colours, the only colours of the program's own drawing.
// They form one ramp: purple, then teal, then pink. sRGB, fully opaque.

#include <QColor>

namespace VLMThemeColors {

const QColor& purple();  // #541388
const QColor& teal();    // #0BEAAD
const QColor& pink();    // #FF177C

} // namespace VLMThemeColors
