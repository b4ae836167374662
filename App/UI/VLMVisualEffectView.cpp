#include "VLMVisualEffectView.h"

#include "UI/SemanticColors.h"

#include <QPainter>

VLMVisualEffectView::VLMVisualEffectView(QWidget* parent) : QWidget(parent) {}

void VLMVisualEffectView::setMaterial(Material material)
{
    material_ = material;
    update();
}

void VLMVisualEffectView::setAlphaValue(double alpha)
{
    alpha_ = alpha;
    update();
}

void VLMVisualEffectView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setOpacity(alpha_);
    const QColor window = SemanticColors::windowBackgroundColor();
    // Under the window background the material sits a step deeper than the
    // window itself, so the area reads as a separate pane.
    QColor tone = window;
    if (material_ == Material::underWindowBackground)
        tone = SemanticColors::isDarkAppearance() ? window.darker(125) : window.darker(106);
    painter.fillRect(rect(), tone);
}
