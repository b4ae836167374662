#pragma once
// A checkbox whose outline stays visible: some styles
// draw them from the window colour, which on a dark window all but
// disappears. Over the style's outline we draw a hairline that reaches the
// contrast a control's boundary needs against its backdrop.

#include <QCheckBox>

class VLMCheckBox : public QCheckBox {
public:
    explicit VLMCheckBox(const QString& title, QWidget* parent = nullptr);

    // The colour around the box.
    void setBackdropColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor backdrop_;
};

// Draws a control's outline over the style's, at the contrast a boundary
// needs against `backdrop` (the window colour when that is invalid).
void VLMStrokeFocusableEdge(QWidget* widget, const QRectF& rect, const QColor& backdrop);
