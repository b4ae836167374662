#include "VLMBox.h"

#include <QPainter>
#include <QPainterPath>

VLMBox::VLMBox(QWidget* parent) : QWidget(parent) {}

void VLMBox::setBoxType(BoxType type)
{
    boxType_ = type;
    update();
}

void VLMBox::setTitlePosition(TitlePosition position)
{
    titlePosition_ = position;
    update();
}

void VLMBox::setFillColor(const QColor& color)
{
    fillColor_ = color;
    update();
}

void VLMBox::setBorderColor(const QColor& color)
{
    borderColor_ = color;
    update();
}

void VLMBox::setBorderWidth(double width)
{
    borderWidth_ = width;
    update();
}

void VLMBox::setCornerRadius(double radius)
{
    cornerRadius_ = radius;
    update();
}

void VLMBox::paintEvent(QPaintEvent*)
{
    if (boxType_ != BoxType::custom)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF bounds = rect();
    // The border lies inside the bounds, as the platform draws it.
    const double inset = borderWidth_ > 0 && borderColor_.alpha() > 0 ? borderWidth_ / 2 : 0.0;
    const QRectF shape = bounds.adjusted(inset, inset, -inset, -inset);
    const double radius = std::max(0.0, cornerRadius_ - inset);
    painter.setBrush(fillColor_);
    if (inset > 0)
        painter.setPen(QPen(borderColor_, borderWidth_));
    else
        painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(shape, radius, radius);
}
