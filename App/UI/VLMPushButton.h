#pragma once
// A small push button with a rounded bezel that fits a 16-point row: flat
// fill, hairline border, the title centred. Border, focus ring and title
// keep the contrast that graphics and text need over fill and backdrop.

#include <QPushButton>

class VLMPushButton : public QPushButton {
public:
    static constexpr int horizontalPadding = 4;
    // Room left of the bezel, so text right before the button keeps apart.
    static constexpr int leadingMargin = 3;
    static constexpr double cornerRadius = 5;

    explicit VLMPushButton(const QString& title, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // The colour around the button, which its border must stand out from.
    void setBackdropColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor backdrop_;
};
