#pragma once
// System symbol images, drawn by us as vector shapes so they stay sharp at
// every device pixel ratio. Only the symbols the program names exist:
// "1.circle.fill", "2.circle.fill", "3.circle.fill",
// "exclamationmark.triangle.fill", "checkmark.circle.fill", "clock" and
// "speaker.wave.2.bubble".

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

#include <optional>

class QPainter;
class QRectF;

class SymbolImage {
public:
    // No image for a name we do not draw, as the platform gives none for a
    // symbol it does not have.
    static std::optional<SymbolImage> systemSymbol(const QString& name,
                                                   const QString& accessibilityDescription = QString());
    static QStringList availableNames();

    const QString& name() const { return name_; }
    const QString& accessibilityDescription() const { return accessibilityDescription_; }

    // A template image takes its colour from where it is shown.
    bool isTemplate() const { return template_; }
    void setTemplate(bool isTemplate) { template_ = isTemplate; }

    // The symbol configuration's weight (on the font weight scale, regular
    // 0, semibold 0.3) thickens strokes and numerals.
    double weight() const { return weight_; }
    void setWeight(double weight) { weight_ = weight; }

    // Draws the symbol into the largest square centred in `rect`.
    void paint(QPainter& painter, const QRectF& rect, const QColor& color) const;

    // For menus and the status item. Without a tint (and always for a
    // template image) the icon takes the palette's text colour of its mode.
    QIcon icon(const QColor& tint = QColor()) const;
    // In `fill` inside an `outline` ring, whatever the mode: shows on panels
    // of any shade.
    QIcon outlinedIcon(const QColor& fill, const QColor& outline) const;

private:
    enum class Kind { numberCircle, warningTriangle, checkmarkCircle, clock, speakerBubble };

    SymbolImage(QString name, QString accessibilityDescription, Kind kind, int number);

    QString name_;
    QString accessibilityDescription_;
    Kind kind_;
    int number_ = 0;
    bool template_ = false;
    double weight_ = 0.0;
};
