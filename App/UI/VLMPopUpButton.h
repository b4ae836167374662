#pragma once
// The pop-up button: a combo box whose title, when longer than the button,
// ends in "…" at a whole character instead of being cut off, and whose tool
// tip shows the whole title. Its accessible value is always the whole title.
// Its outline stays visible on any backdrop, as the checkbox's does.

#include <QComboBox>

class VLMPopUpButton final : public QComboBox {
public:
    explicit VLMPopUpButton(QWidget* parent = nullptr);

    // The colour around the button.
    void setBackdropColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor backdrop_;
};
