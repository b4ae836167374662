#pragma once
// A live level: a row of 24 small rounded segments whose left part lights
// up with the level, coloured along the theme ramp. For assistive
// technologies it is a level indicator with an integer value from 0 to 100.
//
// Each segment is drawn once into a small image, lit and unlit, aligned to
// the device pixels it lands on; a new level repaints only the segments whose
// state changed, by copying their images. The images are drawn again when the
// theme colours, the palette, the height or the device pixel ratio change.

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QString>
#include <QWidget>

#include <array>

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
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct SegmentImages {
        // What the images were drawn for.
        QColor purple, teal, pink;
        double devicePixelRatio = 0;
        QPointF deviceOffset;  // the fraction of a device pixel at which the view starts
        double segmentTop = -1, segmentHeight = -1;
        // Per segment: where its image goes (device pixels from the view's origin), lit and unlit.
        std::array<QPoint, segmentCount> origins;
        std::array<QImage, segmentCount> lit, unlit;
    };

    // Where the segments are, for the current height and font setup (which
    // takes a font lookup: kept, not asked for every segment).
    void placeSegments();
    QRectF segmentRect(int index) const;
    // Logical pixels that segments first...last-1 cover, antialiased edges included.
    QRect segmentsArea(int first, int last) const;
    void prepareSegmentImages(double devicePixelRatio, QPointF deviceOffset);

    SegmentImages images_;
    double segmentTop_ = 0;
    double segmentHeight_ = 0;
    float level_ = 0.0f;
    int accessibilityValue_ = 0;
};
