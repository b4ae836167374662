#include "VLMPopUpButton.h"

#include "VLMCheckBox.h"

#include <QStyleOptionComboBox>
#include <QStylePainter>

VLMPopUpButton::VLMPopUpButton(QWidget* parent) : QComboBox(parent)
{
    connect(this, &QComboBox::currentTextChanged, this, [this](const QString& text) { setToolTip(text); });
}

void VLMPopUpButton::setBackdropColor(const QColor& color)
{
    backdrop_ = color;
    update();
}

void VLMPopUpButton::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    if (currentIndex() < 0 && !placeholderText().isEmpty()) {
        option.palette.setBrush(QPalette::ButtonText, option.palette.placeholderText());
        option.currentText = placeholderText();
    }
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    // The styles draw the label clipped to the field; the title is fitted
    // into it first.
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    int width = field.width() - 2;
    if (!option.currentIcon.isNull())
        width -= option.iconSize.width() + 4;
    option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideRight, width);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    painter.end();
    if (isEnabled())
        VLMStrokeFocusableEdge(this, rect(), backdrop_);
}
