#include "VLMImageView.h"

#include "UI/SemanticColors.h"

#include <QPainter>

VLMImageView::VLMImageView(std::optional<SymbolImage> image, QWidget* parent)
    : QWidget(parent), image_(std::move(image))
{
}

void VLMImageView::setImage(std::optional<SymbolImage> image)
{
    image_ = std::move(image);
    update();
}

void VLMImageView::setContentTintColor(const QColor& color)
{
    contentTintColor_ = color;
    update();
}

void VLMImageView::paintEvent(QPaintEvent*)
{
    if (!image_)
        return;
    QPainter painter(this);
    image_->paint(painter, rect(), contentTintColor_.isValid() ? contentTintColor_ : SemanticColors::labelColor());
}
