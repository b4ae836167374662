#pragma once
// A single-line label that, where its text does not fit, first tightens the
// spacing between its letters a little and then ends with "…". Its text,
// and so its accessible name, stays whole.

#include <QLabel>

class VLMLabel : public QLabel {
public:
    // The most the letters move together, in pixels per letter.
    static constexpr double maximumTightening = 0.7;

    explicit VLMLabel(const QString& text, QWidget* parent = nullptr);

    // Whether the text is shown shortened at the moment.
    bool isTruncated() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The font that fits the text, tightened as needed (at most as far as
    // maximumTightening); whether it fits.
    std::pair<QFont, bool> fittingFont() const;
};
