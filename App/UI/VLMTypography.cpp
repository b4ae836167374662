#include "VLMTypography.h"

#include <QFontDatabase>
#include <QStringList>

#include <algorithm>
#include <iterator>

#include <cmath>
#include <cstdlib>
#include <utility>

namespace VLMTypography {

namespace {

// Layout sizes are device-independent pixels; a pixel size keeps text in
// proportion to the frames whatever DPI the desktop reports.
void setSize(QFont& font, double size)
{
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
}

std::optional<QFont> fontWithName(const QString& postScriptName, double size)
{
    // Family and style are the two halves of the PostScript name, with the
    // family's words split again: "SFCompactRounded" is "SF Compact Rounded".
    const qsizetype dash = postScriptName.indexOf(QLatin1Char('-'));
    const QString compact = dash < 0 ? postScriptName : postScriptName.left(dash);
    const QString style = dash < 0 ? QStringLiteral("Regular") : postScriptName.mid(dash + 1);
    for (const QString& family : QFontDatabase::families()) {
        QString withoutSpaces = family;
        withoutSpaces.remove(QLatin1Char(' '));
        if (withoutSpaces != compact || !QFontDatabase::styles(family).contains(style))
            continue;
        QFont font = QFontDatabase::font(family, style, 12);
        setSize(font, size);
        return font;
    }
    return std::nullopt;
}

QFont systemFont(double size, double weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    setSize(font, size);
    font.setWeight(qtWeight(weight));
    return font;
}

// Debian's Quicksand is several families: "Quicksand" (Regular, Bold) and
// one family per other weight ("Quicksand Light", "Quicksand Medium"), and
// none has SemiBold. Asked for a weight the family itself lacks, fontconfig
// answers with Regular or Bold, so each weight is resolved here to the
// nearest face of all of them; a tie goes to the heavier face above 500 (so
// semibold is Bold) and to the lighter one below, as CSS font matching does.
std::optional<QFont> roundedVariant(const QFont& font, double size)
{
    const QString base = QString::fromLatin1(roundedSystemFamily);
    const int wanted = font.weight();
    std::optional<std::pair<QString, int>> best;
    auto closer = [wanted](int candidate, int current) {
        const int candidateDistance = std::abs(candidate - wanted);
        const int currentDistance = std::abs(current - wanted);
        if (candidateDistance != currentDistance)
            return candidateDistance < currentDistance;
        return wanted > 500 ? candidate > current : candidate < current;
    };
    for (const QString& family : QFontDatabase::families()) {
        if (family != base && !family.startsWith(base + QLatin1Char(' ')))
            continue;
        for (const QString& style : QFontDatabase::styles(family)) {
            if (QFontDatabase::italic(family, style))
                continue;
            const int weight = QFontDatabase::weight(family, style);
            if (!best || closer(weight, best->second))
                best = std::pair(family, weight);
        }
    }
    if (!best)
        return std::nullopt;
    QFont rounded(best->first);
    setSize(rounded, size);
    rounded.setWeight(static_cast<QFont::Weight>(best->second));
    rounded.setItalic(font.italic());
    return rounded;
}

} // namespace

const FontPlatform& installedFonts()
{
    static const FontPlatform platform{fontWithName, systemFont, roundedVariant};
    return platform;
}

QFont::Weight qtWeight(double weight)
{
    // The platform's named weights and the CSS weights they correspond to;
    // between two of them the CSS weight is interpolated.
    static constexpr std::pair<double, int> points[] = {
        {NSFontWeightUltraLight, 100}, {NSFontWeightThin, 200},     {NSFontWeightLight, 300},
        {NSFontWeightRegular, 400},    {NSFontWeightMedium, 500},   {NSFontWeightSemibold, 600},
        {NSFontWeightBold, 700},       {NSFontWeightHeavy, 800},    {NSFontWeightBlack, 900},
    };
    if (std::isnan(weight))
        return QFont::Normal;
    if (weight <= points[0].first)
        return static_cast<QFont::Weight>(points[0].second);
    for (std::size_t i = 1; i < std::size(points); ++i) {
        const auto [upper, upperCSS] = points[i];
        if (weight <= upper) {
            const auto [lower, lowerCSS] = points[i - 1];
            const double fraction = (weight - lower) / (upper - lower);
            return static_cast<QFont::Weight>(std::lround(lowerCSS + fraction * (upperCSS - lowerCSS)));
        }
    }
    return QFont::Black;
}

QFont appFont(double ofSize, double weight)
{
    return appFont(ofSize, weight, installedFonts());
}

QFont appFont(double ofSize, double weight, const FontPlatform& platform)
{
    // A weight that is not a number compares false everywhere: regular face.
    const char* face = weight >= NSFontWeightSemibold ? "SFCompactRounded-Semibold"
                       : weight >= NSFontWeightMedium ? "SFCompactRounded-Medium"
                                                      : "SFCompactRounded-Regular";
    if (std::optional<QFont> named = platform.fontWithName(QString::fromLatin1(face), ofSize))
        return *named;
    const QFont system = platform.systemFont(ofSize, weight);
    if (std::optional<QFont> rounded = platform.roundedVariant(system, ofSize))
        return *rounded;
    return system;
}

} // namespace VLMTypography
