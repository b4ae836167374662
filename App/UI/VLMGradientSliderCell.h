#pragma once
// A horizontal gain slider whose bar we draw: a thin rounded track whose
// filled part shows the purple-teal-pink gradient. The style draws the knob.
// Values are doubles between minValue and maxValue.

#include <QSlider>

class VLMGradientSliderCell : public QSlider {
    Q_OBJECT
public:
    static constexpr double trackThickness = 6;
    static constexpr double trackCornerRadius = 3;
    static constexpr double disabledAlpha = 0.35;

    explicit VLMGradientSliderCell(QWidget* parent = nullptr);

    double minValue() const { return minValue_; }
    void setMinValue(double value);
    double maxValue() const { return maxValue_; }
    void setMaxValue(double value);
    double doubleValue() const { return doubleValue_; }
    // Moves the knob; sends no action.
    void setDoubleValue(double value);

    // Continuous: the action goes out on every step of a drag.
    bool isContinuous() const { return hasTracking(); }
    void setContinuous(bool continuous) { setTracking(continuous); }

    // The colour around the slider, which the knob's edge must stand out from.
    void setBackdropColor(const QColor& color);

    // Draws the track and its filled part inside `rect`. `flipped` is ignored.
    void drawBar(QPainter& painter, const QRectF& rect, bool flipped) const;

signals:
    // The user changed the value.
    void actionSent();

protected:
    void paintEvent(QPaintEvent* event) override;
    void sliderChange(SliderChange change) override;

private:
    int positionFor(double value) const;
    void moveKnob();

    double minValue_ = 0.0;
    double maxValue_ = 1.0;
    double doubleValue_ = 0.0;
    QColor backdrop_;
    bool movingFromCode_ = false;
};
