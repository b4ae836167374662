#include "VLMMainViewLayout.h"

#include "VLMAudioLevelMeterView.h"
#include "VLMBox.h"
#include "VLMGradientSliderCell.h"
#include "VLMImageView.h"
#include "VLMLabel.h"
#include "VLMProgressIndicator.h"
#include "VLMVisualEffectView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <algorithm>
#include <cmath>

namespace VLMMainViewLayout {

namespace {

// Rectangle cuts, as the platform's rectangle division: the slice is taken
// from one edge (never more than there is, never less than nothing) and the
// rectangle keeps the rest.
QRectF cutTop(QRectF& rect, double amount)
{
    amount = std::clamp(amount, 0.0, rect.height());
    const QRectF slice(rect.x(), rect.y(), rect.width(), amount);
    rect.setTop(rect.top() + amount);
    return slice;
}

QRectF cutBottom(QRectF& rect, double amount)
{
    amount = std::clamp(amount, 0.0, rect.height());
    const QRectF slice(rect.x(), rect.bottom() - amount, rect.width(), amount);
    rect.setBottom(rect.bottom() - amount);
    return slice;
}

QRectF cutLeft(QRectF& rect, double amount)
{
    amount = std::clamp(amount, 0.0, rect.width());
    const QRectF slice(rect.x(), rect.y(), amount, rect.height());
    rect.setLeft(rect.left() + amount);
    return slice;
}

QRectF cutRight(QRectF& rect, double amount)
{
    amount = std::clamp(amount, 0.0, rect.width());
    const QRectF slice(rect.right() - amount, rect.y(), amount, rect.height());
    rect.setRight(rect.right() - amount);
    return slice;
}

QRectF inset(const QRectF& rect, double dx, double dy)
{
    return rect.adjusted(dx, dy, -dx, -dy);
}

QRectF centreHeight(const QRectF& rect, double height)
{
    const double d = (rect.height() - std::min(rect.height(), height)) / 2;
    return d > 0 ? inset(rect, 0, d) : rect;
}

QRect wholePoints(const QRectF& frame)
{
    return QRect(static_cast<int>(std::lround(frame.x())), static_cast<int>(std::lround(frame.y())),
                 static_cast<int>(std::lround(frame.width())), static_cast<int>(std::lround(frame.height())));
}

void setFrame(QWidget* widget, const QRectF& frame)
{
    widget->setGeometry(wholePoints(frame));
}

// For a control that resizes itself later: QComboBox calls adjustSize() 20 ms
// after its items change, which would take it out of its row (25 high, and as
// wide as its longest item). Pinning the size makes that call a no-op; the
// pop-up still reports its intrinsic width through sizeHint().
void pinFrame(QWidget* widget, const QRectF& frame)
{
    const QRect rect = wholePoints(frame);
    widget->setFixedSize(rect.size());
    widget->setGeometry(rect);
}

void layoutInstructions(const VLMMainViewControls& c, QRectF content)
{
    setFrame(c.instructionsLabel, cutTop(content, instructionsHeaderHeight));
    for (std::size_t i = 0; i < c.instructionSteps.size(); ++i) {
        QRectF row = cutTop(content, instructionRowHeights[i]);
        QRectF iconColumn = cutLeft(row, instructionIconSize);
        const QRectF textArea = inset(row, instructionTextInset, 0);
        QLabel* label = c.instructionSteps[i].label;
        const double needed = label->heightForWidth(static_cast<int>(std::lround(textArea.width())));
        const double height = std::min(needed > 0 ? needed : textArea.height(), textArea.height());
        const QRectF labelFrame = centreHeight(textArea, height);
        setFrame(label, labelFrame);
        // The icon's top is level with the text's top, not the row's.
        cutTop(iconColumn, std::max(0.0, labelFrame.top() - iconColumn.top()));
        setFrame(c.instructionSteps[i].icon, cutTop(iconColumn, instructionIconSize));
    }
}

void layoutStatus(const VLMMainViewControls& c, QRectF band)
{
    band = centreHeight(band, statusIconSize);
    const QRectF icon = cutLeft(band, statusIconSize);
    setFrame(c.statusProgressIndicator, icon);
    setFrame(c.statusImageView, icon);
    QRectF text = inset(band, statusTextInset, 0);
    if (!c.statusButton->isHidden())
        setFrame(c.statusButton, cutRight(text, c.statusButton->sizeHint().width()));
    setFrame(c.statusLabel, text);
    // A long failure message ends in "…" and shows whole as a tool tip.
    c.statusLabel->setToolTip(c.statusLabel->isTruncated() ? c.statusLabel->text() : QString());
}

void layoutSourceHeader(QRectF header, QLabel* label, VLMAudioLevelMeterView* meter)
{
    const QRectF meterStrip = cutRight(header, meterWidth);
    setFrame(label, centreHeight(header, label->sizeHint().height()));
    const double meterHeight = std::min(static_cast<double>(VLMAudioLevelMeterView::naturalHeight()), meterStrip.height());
    setFrame(meter, centreHeight(meterStrip, meterHeight));
}

void layoutGainControls(VLMGradientSliderCell* slider, QLabel* valueLabel, QRectF row)
{
    setFrame(valueLabel, cutRight(row, gainValueWidth));
    setFrame(slider, QRectF(row.x(), row.y(), std::max(0.0, row.width() - gainValueGap), row.height()));
}

void layoutMicrophoneSection(const VLMMainViewControls& c, QRectF section, bool gainRow)
{
    layoutSourceHeader(cutTop(section, sourceHeaderHeight), c.microphoneLabel, c.microphoneMeter);
    setFrame(c.microphoneDescriptionLabel, cutTop(section, microphoneDescriptionHeight));
    cutTop(section, popUpGap);
    QRectF popUpRow = cutTop(section, popUpRowHeight);
    const double intrinsic = std::max(0, c.microphonePopUpButton->sizeHint().width());
    pinFrame(c.microphonePopUpButton, cutLeft(popUpRow, std::min(intrinsic, popUpRow.width())));
    if (gainRow) {
        cutTop(section, gainRowGap);
        layoutGainControls(c.microphoneSlider, c.microphoneGainValueLabel, cutTop(section, gainRowHeight));
    }
}

void layoutVelmoraSection(const VLMMainViewControls& c, QRectF section, bool gainRow)
{
    layoutSourceHeader(cutTop(section, sourceHeaderHeight), c.velmoraLabel, c.velmoraMeter);
    setFrame(c.velmoraDescriptionLabel, cutTop(section, velmoraDescriptionHeight));
    if (gainRow) {
        cutTop(section, gainRowGap);
        layoutGainControls(c.velmoraSlider, c.velmoraGainValueLabel, cutTop(section, gainRowHeight));
    }
}

void layoutManualGainButton(const VLMMainViewControls& c, QRectF row)
{
    const QSize checkbox = c.manualGainButton->sizeHint();
    QRectF band = centreHeight(row, checkbox.height());
    const QRectF whole = band;
    setFrame(c.manualGainButton, cutLeft(band, std::min<double>(checkbox.width(), row.width())));
    if (!c.resetGainButton->isHidden()) {
        QRectF right = whole;
        setFrame(c.resetGainButton,
                 cutRight(right, std::min<double>(c.resetGainButton->sizeHint().width(), row.width())));
    }
}

} // namespace

void layOut(const VLMMainViewControls& c, const QRectF& bounds, Rows rows)
{
    QRectF rest = inset(bounds, horizontalInset, 0);
    cutTop(rest, topMargin);
    cutBottom(rest, bottomMargin);

    const QRectF instructions = cutTop(rest, instructionsHeight);
    setFrame(c.instructionsContainer, instructions);
    layoutInstructions(c, inset(instructions, instructionsPaddingX, instructionsPaddingY));
    cutTop(rest, instructionsBottomGap);

    if (rows.status)
        layoutStatus(c, cutTop(rest, statusRowHeight));

    setFrame(c.topBackgroundView, QRectF(bounds.x(), bounds.y(), bounds.width(), rest.top() - bounds.top()));
    setFrame(c.sourcesMaterialView, QRectF(bounds.x(), rest.top(), bounds.width(), bounds.bottom() - rest.top()));

    cutTop(rest, sourcesTopGap);
    const double gain = rows.gain ? manualGainExtraHeight : 0;
    layoutMicrophoneSection(c, cutTop(rest, microphoneSectionHeight + microphoneSectionTrailing + gain), rows.gain);
    cutTop(rest, sectionSpacing);
    layoutVelmoraSection(c, cutTop(rest, velmoraSectionHeight + velmoraSectionTrailing + gain), rows.gain);
    layoutManualGainButton(c, cutTop(rest, manualGainRowHeight));
}

} // namespace VLMMainViewLayout
