#include "VLMPushButton.h"

#include "UI/SemanticColors.h"

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

void VLMPushButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);

    const bool dark = SemanticColors::isDarkAppearance();
    QColor fill = SemanticColors::controlBackgroundColor();
    if (isDown())
        fill = dark ? fill.lighter(135) : fill.darker(112);
    QColor border = SemanticColors::labelColor();
    border.setAlphaF(isEnabled() ? 0.3f : 0.15f);
    if (hasFocus())
        border = palette().color(QPalette::Highlight);

    const QRectF frame = QRectF(rect()).adjusted(leadingMargin + 0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(border, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(frame, cornerRadius, cornerRadius);

    QColor textColour = SemanticColors::labelColor();
    if (!isEnabled())
        textColour = SemanticColors::tertiaryLabelColor();
    painter.setPen(textColour);
    painter.setFont(font());
    painter.drawText(rect().adjusted(leadingMargin, 0, 0, 0), Qt::AlignCenter | Qt::TextSingleLine, text());
}
