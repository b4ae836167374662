#pragma once
// A live level: a row of 24 small rounded segments whose left part lights
// up with the level, coloured along the theme ramp. For assistive
// technologies it is a level indicator with an integer value from 0 to 100.

#include <QString>
#include <QWidget>

class VLMAudioLevelMeterView : public QWidget {
    Q_OBJECT
public:
    static constexpr int segmentCount = 24;
    static constexpr double segmentPitch = 8;
    static constexpr double segmentWidth = 4;
    static constexpr double segmentCornerRadius = 2;
    static constexpr double naturalWidth = (segmentCount - 1) * segmentPitch + segmentWidth;  // 188
    static constexpr double litAlpha = 0.92;
    static constexpr double unlitAlpha = 0.16;

    explicit VLMAudioLevelMeterView(const QString& accessibilityLabel, QWidget* parent = nullptr);

    float level() const { return level_; }
    // Clamped into 0...1; a level that is not a number counts as 0.
    void setLevel(float level);

    QString accessibilityLabel() const { return accessibleName(); }
    int accessibilityValue() const { return accessibilityValue_; }

    // Width 188; height the cap height of the section titles' font.
    QSize sizeHint() const override;
    // The segments' height for the current font setup.
    static int naturalHeight();
    // How many segments a level lights: none for 0, at least one above it.
    static int litSegmentCount(float level);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    float level_ = 0.0f;
    int accessibilityValue_ = 0;
};
