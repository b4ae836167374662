#pragma once
// The three theme colours, the only colours of the program's own drawing.
// They form one ramp: purple, then teal, then pink. sRGB, fully opaque.
//
// Purple, the low end of every meter and slider, is the design's colour
// unless the current window background leaves it below 3:1, the contrast a
// graphic needs to be seen: on a dark window it is lifted toward white just
// enough. Read the colours when drawing, never cache them.
// The legibility helpers below are what the window uses for its other
// colours, so that text and graphics stay readable in any palette.

#include <QColor>

class QWidget;

namespace VLMThemeColors {

QColor purple();  // #541388
QColor teal();    // #0BEAAD
QColor pink();    // #FF177C

// The ratios that text and graphics (boundaries, focus, symbols) need.
inline constexpr double textContrast = 4.5;
inline constexpr double graphicsContrast = 3.0;

// WCAG 2 contrast ratio of two colours, each composited over the other's
// opaque background: 1 (none) to 21 (black on white).
double contrastRatio(const QColor& foreground, const QColor& background);
// `colour` drawn with its alpha over an opaque `background`.
QColor composited(const QColor& colour, const QColor& background);
// The smallest change to `colour` that, over `background`, reaches `ratio`:
// a translucent colour first gains opacity, then any colour moves toward
// black or white, whichever lies away from the background. Unchanged when
// it already reaches the ratio.
QColor legibleOn(const QColor& colour, const QColor& background, double ratio);
// The opaque hairline that outlines a control (box, pop-up, knob) over
// `backdrop`: the label colour at 30 %, or as little more as 3:1 needs.
QColor controlEdge(const QColor& backdrop);
// The same for `control`, in the highlight colour while it has the focus.
QColor focusableEdge(const QWidget* control, const QColor& backdrop);

} // namespace VLMThemeColors
