#include "VLMCheckBox.h"

#include "UI/SemanticColors.h"
#include "VLMThemeColors.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

VLMCheckBox::VLMCheckBox(const QString& title, QWidget* parent) : QCheckBox(title, parent) {}

void VLMCheckBox::setBackdropColor(const QColor& color)
{
    backdrop_ = color;
    update();
}

void VLMCheckBox::paintEvent(QPaintEvent* event)
{
    QCheckBox::paintEvent(event);
    if (!isEnabled())
        return;
    QStyleOptionButton option;
    initStyleOption(&option);
    const QRect box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    if (box.isEmpty())
        return;
    const QColor backdrop = backdrop_.isValid() ? backdrop_ : SemanticColors::windowBackgroundColor();
    QColor edge = SemanticColors::labelColor();
    edge.setAlphaF(0.3f);
    if (hasFocus() && option.state & QStyle::State_KeyboardFocusChange)
        edge = palette().color(QPalette::Highlight);
    // Opaque: it covers the style's own edge, whatever colour that has.
    edge = VLMThemeColors::composited(VLMThemeColors::legibleOn(edge, backdrop, VLMThemeColors::graphicsContrast),
                                      backdrop);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(edge, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(box).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
}
