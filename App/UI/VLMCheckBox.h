#pragma once
// A checkbox and a pop-up button whose outlines stay visible: some styles
// draw them from the window colour, which on a dark window all but
// disappears. Over the style's outline we draw a hairline that reaches the
// contrast a control's boundary needs against its backdrop.

#include <QCheckBox>
#include <QComboBox>

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

class VLMPopUpButton : public QComboBox {
public:
    explicit VLMPopUpButton(QWidget* parent = nullptr);

    // The colour around the button.
    void setBackdropColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor backdrop_;
};
