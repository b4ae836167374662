#include "VLMVisualEffectView.h"

#include "UI/SemanticColors.h"
#include "VLMThemeColors.h"

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

namespace {

// Under the window background the material sits a step deeper than the
// window itself, so the area reads as a separate pane.
QColor tone(VLMVisualEffectView::Material material)
{
    const QColor window = SemanticColors::windowBackgroundColor();
    if (material != VLMVisualEffectView::Material::underWindowBackground)
        return window;
    return SemanticColors::isDarkAppearance() ? window.darker(125) : window.darker(106);
}

} // namespace

QColor VLMVisualEffectView::effectiveColor() const
{
    QColor colour = tone(material_);
    colour.setAlphaF(static_cast<float>(alpha_));
    return VLMThemeColors::composited(colour, SemanticColors::windowBackgroundColor());
}

void VLMVisualEffectView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setOpacity(alpha_);
    painter.fillRect(rect(), tone(material_));
}
