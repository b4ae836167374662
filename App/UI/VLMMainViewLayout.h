#pragma once
// Where the main view's controls go. The view is 400 points wide; rows are
// stacked from the top, each of a fixed height, and the preferred height is
// the sum of the rows the current state shows, so the window fits them
// exactly.

#include <QRectF>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class VLMAudioLevelMeterView;
class VLMBox;
class VLMGradientSliderCell;
class VLMImageView;
class VLMLabel;
class VLMProgressIndicator;
class VLMVisualEffectView;

// The main view's controls, in the view's order: back to front, which is also
// the order assistive technologies read them and the keyboard visits them.
// The view owns them.
struct VLMMainViewControls {
    struct InstructionStep {
        VLMImageView* icon;
        QLabel* label;
    };

    VLMBox* topBackgroundView;
    VLMVisualEffectView* sourcesMaterialView;
    VLMBox* instructionsContainer;
    QLabel* instructionsLabel;
    std::array<InstructionStep, 3> instructionSteps;
    VLMProgressIndicator* statusProgressIndicator;
    VLMImageView* statusImageView;
    VLMLabel* statusLabel;
    QPushButton* statusButton;
    QLabel* microphoneLabel;
    VLMAudioLevelMeterView* microphoneMeter;
    QLabel* microphoneDescriptionLabel;
    QComboBox* microphonePopUpButton;
    VLMGradientSliderCell* microphoneSlider;
    QLabel* microphoneGainValueLabel;
    QLabel* velmoraLabel;
    VLMAudioLevelMeterView* velmoraMeter;
    QLabel* velmoraDescriptionLabel;
    VLMGradientSliderCell* velmoraSlider;
    QLabel* velmoraGainValueLabel;
    QCheckBox* manualGainButton;
    QPushButton* resetGainButton;
};

namespace VLMMainViewLayout {

// Fixed measures, in points (device-independent pixels).
constexpr double contentWidth = 400;
constexpr double horizontalInset = 32;
constexpr double topMargin = 28;
constexpr double bottomMargin = 20;
constexpr double instructionsHeight = 168;
constexpr double instructionsPaddingX = 16;
constexpr double instructionsPaddingY = 12;
constexpr double instructionsHeaderHeight = 44;
constexpr std::array<double, 3> instructionRowHeights = {28, 44, 28};
constexpr double instructionIconSize = 17;
constexpr double instructionTextInset = 8;
constexpr double instructionsBottomGap = 28;
constexpr double statusRowHeight = 34;
constexpr double statusIconSize = 16;
constexpr double statusTextInset = 8;
constexpr double sourcesTopGap = 20;
constexpr double sourceHeaderHeight = 32;
constexpr double meterWidth = 188;
constexpr double microphoneDescriptionHeight = 22;
constexpr double popUpGap = 8;
constexpr double popUpRowHeight = 30;
constexpr double microphoneSectionHeight = 92;
constexpr double microphoneSectionTrailing = 8;
constexpr double velmoraDescriptionHeight = 44;
constexpr double velmoraSectionHeight = 76;
constexpr double velmoraSectionTrailing = 12;
constexpr double sectionSpacing = 10;
constexpr double gainRowGap = 8;
constexpr double gainRowHeight = 24;
constexpr double manualGainExtraHeight = gainRowGap + gainRowHeight;
constexpr double manualGainRowHeight = 34;
constexpr double gainValueWidth = 48;
constexpr double gainValueGap = 8;

// What decides the rows: the status row shows unless the audio is ready, and
// each source gains a slider row while manual gain adjustment is on.
struct Rows {
    bool status;
    bool gain;
};

// The height of the content: both margins and every row shown.
constexpr double preferredContentHeight(Rows rows)
{
    const double gain = rows.gain ? manualGainExtraHeight : 0;
    return topMargin + instructionsHeight + instructionsBottomGap + (rows.status ? statusRowHeight : 0) +
           sourcesTopGap + (microphoneSectionHeight + microphoneSectionTrailing + gain) + sectionSpacing +
           (velmoraSectionHeight + velmoraSectionTrailing + gain) + manualGainRowHeight + bottomMargin;
}

// Places the controls of the rows shown within bounds, the view's rectangle.
void layOut(const VLMMainViewControls& controls, const QRectF& bounds, Rows rows);

} // namespace VLMMainViewLayout
