#pragma once
// Every font that the window's own code sets.

#include <QFont>
#include <QString>

#include <functional>
#include <optional>

// Font weights on the platform's continuous scale, on which the named
// weights are points.
inline constexpr double NSFontWeightUltraLight = -0.8;
inline constexpr double NSFontWeightThin = -0.6;
inline constexpr double NSFontWeightLight = -0.4;
inline constexpr double NSFontWeightRegular = 0.0;
inline constexpr double NSFontWeightMedium = 0.23;
inline constexpr double NSFontWeightSemibold = 0.3;
inline constexpr double NSFontWeightBold = 0.4;
inline constexpr double NSFontWeightHeavy = 0.56;
inline constexpr double NSFontWeightBlack = 0.62;

namespace VLMTypography {

// The family that stands in for the rounded design of the system font here.
inline constexpr const char* roundedSystemFamily = "Quicksand";

// The font operations appFont needs, in the order it uses them. Sizes are in
// points of the layout, which are Qt's device-independent pixels.
struct FontPlatform {
    // A face by its PostScript name ("Family-Style"); none when not installed.
    std::function<std::optional<QFont>(const QString& postScriptName, double size)> fontWithName;
    // The system font of a size and weight; always a font.
    std::function<QFont(double size, double weight)> systemFont;
    // The rounded-design variant of a font at a size; none when there is none.
    std::function<std::optional<QFont>(const QFont& font, double size)> roundedVariant;
};

// The fonts installed on this machine.
const FontPlatform& installedFonts();

// One of three rounded faces by weight (regular, medium, semibold); when that
// face is missing, the rounded system font at the requested weight, else the
// plain system font. Never fails. Asks the platform anew on every call.
QFont appFont(double ofSize, double weight);
QFont appFont(double ofSize, double weight, const FontPlatform& platform);

// The QFont weight that a weight on the platform's scale stands for.
QFont::Weight qtWeight(double weight);

} // namespace VLMTypography
