#pragma once
// A checkbox whose box keeps a visible edge: some styles draw it from the
// window colour, which on a dark window all but disappears. Over the style's
// box we draw a hairline that reaches the contrast a control's boundary
// needs against its backdrop.

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
