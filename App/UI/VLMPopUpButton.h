#pragma once
// The pop-up button: a combo box whose title, when longer than the button,
// ends in "…" at a whole character instead of being cut off, and whose tool
// tip shows the whole title. Its accessible value is always the whole title.

#include <QComboBox>

class VLMPopUpButton final : public QComboBox {
public:
    explicit VLMPopUpButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
