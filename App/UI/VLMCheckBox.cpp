#include "VLMCheckBox.h"

#include "UI/SemanticColors.h"
#include "VLMThemeColors.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

void VLMStrokeFocusableEdge(QWidget* widget, const QRectF& rect, const QColor& backdrop)
{
    const QColor colour = VLMThemeColors::focusableEdge(
        widget, backdrop.isValid() ? backdrop : SemanticColors::windowBackgroundColor());
    const double radius = 2;
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(colour, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}

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
    VLMStrokeFocusableEdge(this, box, backdrop_);
}
