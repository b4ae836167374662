#include "VLMPushButton.h"

#include "UI/SemanticColors.h"
#include "VLMThemeColors.h"

#include <QPainter>
#include <QPainterPath>

VLMPushButton::VLMPushButton(const QString& title, QWidget* parent) : QPushButton(title, parent)
{
    setAutoDefault(false);
    // As on the platform the program was first drawn for, a click does not
    // take the keyboard focus; Tab still reaches the button.
    setFocusPolicy(Qt::TabFocus);
}

QSize VLMPushButton::sizeHint() const
{
    const QFontMetrics metrics = fontMetrics();
    return {leadingMargin + metrics.horizontalAdvance(text()) + 2 * horizontalPadding + 2, metrics.height() + 4};
}

void VLMPushButton::setBackdropColor(const QColor& color)
{
    backdrop_ = color;
    update();
}

void VLMPushButton::paintEvent(QPaintEvent*)
{
    using VLMThemeColors::legibleOn;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);

    const bool dark = SemanticColors::isDarkAppearance();
    QColor fill = SemanticColors::controlBackgroundColor();
    if (isDown())
        fill = dark ? fill.lighter(135) : fill.darker(112);
    const QColor backdrop = backdrop_.isValid() ? backdrop_ : SemanticColors::windowBackgroundColor();
    QColor border = SemanticColors::labelColor();
    border.setAlphaF(0.15f);
    // A disabled button needs no contrast; an enabled one must be found.
    if (isEnabled())
        border = legibleOn(VLMThemeColors::controlEdge(backdrop), fill, VLMThemeColors::graphicsContrast);

    const QRectF frame = QRectF(rect()).adjusted(leadingMargin + 0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(border, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(frame, cornerRadius, cornerRadius);
    if (hasFocus()) {
        // The ring goes inside the border, over the fill it replaces.
        const QColor ring = legibleOn(palette().color(QPalette::Highlight), fill, VLMThemeColors::graphicsContrast);
        painter.setPen(QPen(ring, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.adjusted(1.5, 1.5, -1.5, -1.5), cornerRadius - 1.5, cornerRadius - 1.5);
    }

    QColor textColour = SemanticColors::labelColor();
    if (!isEnabled())
        textColour = SemanticColors::tertiaryLabelColor();
    else
        textColour = legibleOn(textColour, fill, VLMThemeColors::textContrast);
    painter.setPen(textColour);
    painter.setFont(font());
    painter.drawText(rect().adjusted(leadingMargin, 0, 0, 0), Qt::AlignCenter | Qt::TextSingleLine, text());
}
