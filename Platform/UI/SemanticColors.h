#pragma once
// The platform's semantic colours (labelColor, windowBackgroundColor, ...),
// derived from the application's palette so they follow a light or dark
// desktop theme. Read them when drawing; they are not cached.

#include <QColor>

namespace SemanticColors {

QColor labelColor();
QColor secondaryLabelColor();
QColor tertiaryLabelColor();
QColor quaternaryLabelColor();
QColor windowBackgroundColor();
QColor controlBackgroundColor();
QColor separatorColor();
QColor systemOrangeColor();

// Whether the palette's window background is dark.
bool isDarkAppearance();

} // namespace SemanticColors
