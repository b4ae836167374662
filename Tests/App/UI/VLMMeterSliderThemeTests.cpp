#include "VLMAudioLevelMeterView.h"
#include "VLMGradientSliderCell.h"
#include "VLMThemeColors.h"
#include "VLMTypography.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QFontInfo>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QTest>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// MARK: Typography

// A font platform whose faces and rounded design can be switched off, and
// that says what it was asked.
struct FakeFonts {
    bool hasFaces = true;
    bool hasRounded = true;
    VLMTypography::FontPlatform platform{
        [this](const QString& name, double size) -> std::optional<QFont> {
            if (!hasFaces)
                return std::nullopt;
            QFont font(name);
            font.setPixelSize(static_cast<int>(size));
            return font;
        },
        [](double size, double weight) {
            QFont font(QStringLiteral("System"));
            font.setPixelSize(static_cast<int>(size));
            font.setWeight(VLMTypography::qtWeight(weight));
            return font;
        },
        [this](const QFont& font, double size) -> std::optional<QFont> {
            if (!hasRounded)
                return std::nullopt;
            QFont rounded(QStringLiteral("Rounded"));
            rounded.setPixelSize(static_cast<int>(size));
            rounded.setWeight(font.weight());
            return rounded;
        }};
};

TEST(VLMTypographyTest, WithoutTheFacesTakesTheRoundedSystemFontAtTheRequestedWeight)
{
    FakeFonts fonts;
    fonts.hasFaces = false;
    const QFont heavy = VLMTypography::appFont(18, NSFontWeightHeavy, fonts.platform);
    EXPECT_EQ(heavy.family(), QStringLiteral("Rounded"));
    EXPECT_EQ(heavy.weight(), QFont::ExtraBold) << "the heavy weight itself, not the semibold bucket";
    EXPECT_EQ(heavy.pixelSize(), 18);

    fonts.hasRounded = false;
    const QFont plain = VLMTypography::appFont(13, NSFontWeightMedium, fonts.platform);
    EXPECT_EQ(plain.family(), QStringLiteral("System"));
    EXPECT_EQ(plain.weight(), QFont::Medium);
}

TEST(VLMTypographyTest, OnThisMachineTheRoundedFamilyIsInstalled)
{
    const QFont font = VLMTypography::appFont(15, NSFontWeightRegular);
    EXPECT_EQ(QFontInfo(font).family(), QString::fromLatin1(VLMTypography::roundedSystemFamily))
        << "install the font package named in scripts/install-dependencies";
    EXPECT_EQ(font.pixelSize(), 15);
    // Debian has Medium as a family of its own and no SemiBold: three faces still show.
    EXPECT_EQ(QFontInfo(VLMTypography::appFont(13, NSFontWeightMedium)).weight(), QFont::Medium);
    EXPECT_EQ(QFontInfo(VLMTypography::appFont(18, NSFontWeightSemibold)).weight(), QFont::Bold);
}

// MARK: Level meter

// Renders a meter and tells which segments are lit by their opacity.
int litSegments(VLMAudioLevelMeterView& meter)
{
    meter.resize(VLMAudioLevelMeterView::naturalWidth, 20);
    QImage image(meter.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    meter.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    int lit = 0;
    for (int i = 0; i < VLMAudioLevelMeterView::segmentCount; ++i) {
        const int alpha = qAlpha(image.pixel(i * 8 + 2, 10));

        EXPECT_TRUE(alpha > 200 || (alpha > 30 && alpha < 50)) << "segment " << i << " alpha " << alpha;
        lit += alpha > 200 ? 1 : 0;
    }
    return lit;
}

TEST(VLMAudioLevelMeterViewTest, LightsTheSegmentsOfTheLevel)
{
    VLMAudioLevelMeterView meter(QStringLiteral("Microphone level"));
    for (const auto& [level, lit] : {std::pair{0.0f, 0}, {0.01f, 1}, {0.5f, 12}, {1.0f, 24}}) {
        meter.setLevel(level);
        EXPECT_EQ(litSegments(meter), lit) << level;
    }
}

// The segments as drawn with a painter, one rounded rectangle each.
void drawSegments(QPainter& painter, double height, int lit)
{
    auto blended = [](const QColor& from, const QColor& toward, double fraction) {
        auto mix = [fraction](double a, double b) { return static_cast<float>((1 - fraction) * a + fraction * b); };
        return QColor::fromRgbF(mix(from.redF(), toward.redF()), mix(from.greenF(), toward.greenF()),
                                mix(from.blueF(), toward.blueF()), mix(from.alphaF(), toward.alphaF()));
    };
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    const double segmentHeight = std::min(height, static_cast<double>(VLMAudioLevelMeterView::naturalHeight()));
    for (int i = 0; i < VLMAudioLevelMeterView::segmentCount; ++i) {
        const double t = i / 23.0;
        QColor colour = t <= 0.5 ? blended(VLMThemeColors::purple(), VLMThemeColors::teal(), 2 * t)
                                 : blended(VLMThemeColors::teal(), VLMThemeColors::pink(), 2 * (t - 0.5));
        colour.setAlphaF(i < lit ? 0.92f : 0.16f);
        painter.setBrush(colour);
        painter.drawRoundedRect(QRectF(i * 8, (height - segmentHeight) / 2, 4, segmentHeight), 2, 2);
    }
}

// The largest difference of any colour channel between two images of one size.
int largestDifference(const QImage& a, const QImage& b)
{
    int largest = a.size() == b.size() ? 0 : 256;
    for (int y = 0; largest < 256 && y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (const int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q), qAlpha(p) - qAlpha(q)})
                largest = std::max(largest, std::abs(d));
        }
    return largest;
}

// A view that draws the segments with a painter each time it paints.
struct DirectlyDrawnMeter : QWidget {
    explicit DirectlyDrawnMeter(int lit) : lit(lit) {}
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        drawSegments(painter, height(), lit);
    }
    int lit;
};

// Copying pre-drawn segments must not show: on a background, at whole and
// fractional pixel ratios and places, the meter equals its segments drawn
// directly, pixel for pixel.
TEST(VLMAudioLevelMeterViewTest, LooksExactlyLikeItsSegmentsDrawnDirectly)
{
    VLMAudioLevelMeterView meter(QStringLiteral("Microphone level"));
    meter.resize(VLMAudioLevelMeterView::naturalWidth, 21);
    for (const double ratio : {1.0, 1.5, 2.0}) {
        for (const float level : {0.0f, 0.5f, 0.97f}) {
            QImage background(QSize(200, 30) * ratio, QImage::Format_ARGB32_Premultiplied);
            background.setDevicePixelRatio(ratio);
            QPainter(&background).fillRect(QRectF(0, 0, 200, 30), QLinearGradient(0, 0, 200, 0));
            const QPoint at(3, 5);
            QImage expected = background;
            DirectlyDrawnMeter direct(VLMAudioLevelMeterView::litSegmentCount(level));
            direct.resize(meter.size());
            direct.render(&expected, at, QRegion(), QWidget::DrawChildren);

            meter.setLevel(level);
            QImage actual = background;
            meter.render(&actual, at, QRegion(), QWidget::DrawChildren);
            EXPECT_EQ(largestDifference(actual, expected), 0) << "ratio " << ratio << ", level " << level;
        }
    }
}

// A new level repaints the segments whose state changed, and no others.
TEST(VLMAudioLevelMeterViewTest, RepaintsOnlyTheSegmentsThatChanged)
{
    struct PaintRecorder : QObject {
        QRegion painted;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint)
                painted |= static_cast<QPaintEvent*>(event)->region();
            return false;
        }
    } recorder;
    VLMAudioLevelMeterView meter(QStringLiteral("Microphone level"));
    meter.resize(VLMAudioLevelMeterView::naturalWidth, 20);
    meter.setLevel(0.5f);  // 12 lit
    meter.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&meter));
    meter.installEventFilter(&recorder);

    meter.setLevel(0.55f);  // 14 lit: segments 12 and 13 change
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.painted.isEmpty(); }));
    const QRect changed = recorder.painted.boundingRect();
    EXPECT_GE(changed.left(), 11 * 8 + 4) << "segment 11 stays lit";
    EXPECT_LE(changed.right(), 14 * 8) << "segment 14 stays unlit";
    EXPECT_LE(changed.left(), 12 * 8);
    EXPECT_GE(changed.right(), 13 * 8 + 3);
}

TEST(VLMAudioLevelMeterViewTest, ClampsAndReportsAWholeNumberValue)
{
    VLMAudioLevelMeterView meter(QStringLiteral("Microphone level"));
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&meter);
    ASSERT_NE(accessible, nullptr);
    QAccessibleValueInterface* value = accessible->valueInterface();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->minimumValue().toInt(), 0);
    EXPECT_EQ(value->maximumValue().toInt(), 100);
    EXPECT_EQ(value->currentValue().toInt(), 0);

    for (const auto& [set, stored, reported] :
         {std::tuple{-0.5f, 0.0f, 0}, {1.7f, 1.0f, 100}, {0.999f, 0.999f, 99}, {0.5f, 0.5f, 50}}) {
        meter.setLevel(set);
        EXPECT_EQ(meter.level(), stored) << set;
        EXPECT_EQ(value->currentValue().toInt(), reported) << set;
    }
    meter.setLevel(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(meter.level(), 0.0f) << "not a number counts as silence";
    EXPECT_EQ(meter.sizeHint().width(), 188);
}

// MARK: Gradient slider

struct BarPicture {
    QImage image;
    QColor at(int x, int y) const { return image.pixelColor(x, y); }
};

BarPicture drawBar(VLMGradientSliderCell& slider, QSize size)
{
    BarPicture picture{QImage(size, QImage::Format_ARGB32)};
    picture.image.fill(Qt::transparent);
    QPainter painter(&picture.image);
    slider.drawBar(painter, QRectF(QPointF(0, 0), size), true);
    return picture;
}

bool isTrack(const QColor& colour)
{
    return colour.alpha() > 0 && colour.alpha() < 60 && colour.red() < 40 && colour.green() < 40;
}

TEST(VLMGradientSliderCellTest, FillsWithTheGradientPinnedToTheWholeTrack)
{
    VLMGradientSliderCell slider;
    slider.setDoubleValue(1);
    BarPicture bar = drawBar(slider, {200, 20});
    EXPECT_GT(bar.at(197, 10).red(), 230) << "a full slider ends in pink";
    EXPECT_LT(bar.at(197, 10).green(), 80);

    slider.setDoubleValue(0.5);
    bar = drawBar(slider, {200, 20});
    EXPECT_GT(bar.at(96, 10).green(), 200) << "half way shows teal at its end";
    EXPECT_TRUE(isTrack(bar.at(150, 10))) << "and the track beyond";

    slider.setEnabled(false);
    bar = drawBar(slider, {200, 20});
    const QColor track = bar.at(150, 10);
    EXPECT_TRUE(isTrack(track)) << "the track keeps its colour";
    const double fillOverTrack = 1 - (1 - 0.35) * (1 - track.alphaF());
    EXPECT_NEAR(bar.at(50, 10).alphaF(), fillOverTrack, 0.03) << "disabled, the fill is faint";

    slider.setMaxValue(0);  // an empty range: the bare track
    bar = drawBar(slider, {200, 20});
    EXPECT_TRUE(isTrack(bar.at(20, 10)));
}

TEST(VLMGradientSliderCellTest, SendsItsActionOnlyForTheUser)
{
    VLMGradientSliderCell slider;
    QSignalSpy actions(&slider, &VLMGradientSliderCell::actionSent);
    slider.setDoubleValue(0.3);
    EXPECT_EQ(actions.count(), 0);
    EXPECT_EQ(slider.doubleValue(), 0.3);

    slider.triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(actions.count(), 1);
    EXPECT_NEAR(slider.doubleValue(), 0.31, 1e-9);
}

} // namespace
