#include "VLMCheckBox.h"

#include "UI/SemanticColors.h"
#include "VLMThemeColors.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

void strokeEdge(QWidget* widget, const QRectF& rect, const QColor& colour, double radius)
{
    QPainter painter(widget);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(colour, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}

QColor backdropOr(const QColor& backdrop)
{
    return backdrop.isValid() ? backdrop : SemanticColors::windowBackgroundColor();
}

} // namespace

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
    const QColor backdrop = backdropOr(backdrop_);
    strokeEdge(this, box, VLMThemeColors::focusableEdge(this, backdrop), 2);
}

VLMPopUpButton::VLMPopUpButton(QWidget* parent) : QComboBox(parent) {}

void VLMPopUpButton::setBackdropColor(const QColor& color)
{
    backdrop_ = color;
    update();
}

void VLMPopUpButton::paintEvent(QPaintEvent* event)
{
    QComboBox::paintEvent(event);
    if (isEnabled())
        strokeEdge(this, rect(), VLMThemeColors::focusableEdge(this, backdropOr(backdrop_)), 2);
}
