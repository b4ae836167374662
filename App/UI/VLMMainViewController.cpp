#include "VLMMainViewController.h"

#include "VLMAccessibility.h"
#include "VLMAudioLevelMeterView.h"
#include "VLMBox.h"
#include "VLMFlippedView.h"
#include "VLMGradientSliderCell.h"
#include "VLMImageView.h"
#include "VLMLabel.h"
#include "VLMLinks.h"
#include "VLMProgressIndicator.h"
#include "VLMPushButton.h"
#include "VLMThemeColors.h"
#include "VLMTypography.h"
#include "NSUserDefaults.h"
#include "VLMVisualEffectView.h"

#include "UI/AccessibilityAnnouncement.h"
#include "UI/SemanticColors.h"
#include "UI/WorkspaceURLOpening.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRectF>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

// Fixed measures of the layout, in points (device-independent pixels).
namespace Layout {
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
constexpr double manualGainExtraHeight = 32;
constexpr double gainValueWidth = 48;
constexpr double gainValueGap = 8;
constexpr double manualGainRowHeight = 34;
} // namespace Layout

// The fixed rows above the sources plus both margins, without and with the
// 34-point status row: 28 + 168 + 28 (+ 34) + 20 + 20.
constexpr double fixedRowsReady = 264;
constexpr double fixedRowsNotReady = 298;

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

QLabel* makeLabel(const QString& text, const char* name)
{
    auto* label = new QLabel(text);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::NoTextInteraction);
    return label;
}

void setTextColour(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

void styleLabel(QLabel* label, double size, double weight, const QColor& colour)
{
    label->setFont(VLMTypography::appFont(size, weight));
    setTextColour(label, colour);
}

void styleSlider(VLMGradientSliderCell* slider, float value, const char* accessibilityLabel)
{
    slider->setMinValue(0);
    slider->setMaxValue(1);
    slider->setDoubleValue(value);
    slider->setContinuous(true);
    slider->setAccessibleName(QString::fromLatin1(accessibilityLabel));
}

VLMGradientSliderCell* makeSlider(const char* name)
{
    auto* slider = new VLMGradientSliderCell;
    slider->setObjectName(QString::fromLatin1(name));
    slider->setMinValue(0);
    slider->setMaxValue(1);
    slider->setDoubleValue(0.8);
    return slider;
}

QPushButton* makePushButton(const QString& title, const char* name)
{
    auto* button = new VLMPushButton(title);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

QString statusText(const VLMAudioRouterStatus& status)
{
    switch (status.kind()) {
    case VLMAudioRouterStatus::Kind::starting: return QStringLiteral("Starting audio…");
    case VLMAudioRouterStatus::Kind::ready: return QStringLiteral("Audio device ready");
    case VLMAudioRouterStatus::Kind::driverMissing: return QStringLiteral("Audio device not installed");
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied: return QStringLiteral("Microphone access is off");
    case VLMAudioRouterStatus::Kind::failed: return QString::fromStdString(status.message());
    }
    return {};
}

} // namespace

std::shared_ptr<VLMMainViewController> VLMMainViewController::create(std::shared_ptr<VLMAudioRouter> router)
{
    std::shared_ptr<VLMMainViewController> controller(new VLMMainViewController(std::move(router)));
    controller->router->delegate = controller;
    return controller;
}

VLMMainViewController::VLMMainViewController(std::shared_ptr<VLMAudioRouter> router)
    : router(std::move(router)),
      topBackgroundView(new VLMBox),
      sourcesMaterialView(new VLMVisualEffectView),
      instructionsContainer(new VLMBox),
      instructionsLabel(
          makeLabel(QStringLiteral("Use Velmora Studio with Discord, Zoom or any other voice chat app."),
                    "instructionsLabel")),
      instructionImageViews{},
      instructionLabels{},
      statusProgressIndicator(new VLMProgressIndicator),
      statusImageView(new VLMImageView(SymbolImage::systemSymbol(QStringLiteral("exclamationmark.triangle.fill")))),
      statusLabel(new VLMLabel(QStringLiteral("Starting audio…"))),
      statusButton(makePushButton(QString(), "statusButton")),
      manualGainButton(new QCheckBox(QStringLiteral("Manual Gain Adjustment"))),
      microphoneLabel(makeLabel(QStringLiteral("Microphone"), "microphoneLabel")),
      microphoneMeter(new VLMAudioLevelMeterView(QStringLiteral("Microphone level"))),
      microphoneDescriptionLabel(makeLabel(QStringLiteral("Your beautiful voice."), "microphoneDescriptionLabel")),
      microphonePopUpButton(new QComboBox),
      microphoneSlider(makeSlider("microphoneSlider")),
      microphoneGainValueLabel(makeLabel(QStringLiteral("80%"), "microphoneGainValueLabel")),
      velmoraLabel(makeLabel(QStringLiteral("Velmora Studio"), "velmoraLabel")),
      velmoraMeter(new VLMAudioLevelMeterView(QStringLiteral("Velmora Studio level"))),
      velmoraDescriptionLabel(makeLabel(
          QStringLiteral("Includes Velmora Studio Atmospheres, Sound Effects, local Playlists, and Apple Music, if active."),
          "velmoraDescriptionLabel")),
      velmoraSlider(makeSlider("velmoraSlider")),
      velmoraGainValueLabel(makeLabel(QStringLiteral("80%"), "velmoraGainValueLabel")),
      resetGainButton(makePushButton(QStringLiteral("Reset to Default Gain"), "resetGainButton"))
{
    VLMInstallAccessibility();
    topBackgroundView->setObjectName(QStringLiteral("topBackgroundView"));
    sourcesMaterialView->setObjectName(QStringLiteral("sourcesMaterialView"));
    instructionsContainer->setObjectName(QStringLiteral("instructionsContainer"));

    const QString stepTexts[] = {
        QStringLiteral("Pick your mic input below."),
        QStringLiteral("In your voice chat app, pick \"Velmora Studio Connect\" as your input."),
        QStringLiteral("You're done!"),
    };
    for (std::size_t i = 0; i < instructionLabels.size(); ++i) {
        std::optional<SymbolImage> symbol = SymbolImage::systemSymbol(QStringLiteral("%1.circle.fill").arg(i + 1));
        if (symbol)
            symbol->setWeight(NSFontWeightSemibold);
        instructionImageViews[i] = new VLMImageView(std::move(symbol));
        instructionImageViews[i]->setObjectName(QStringLiteral("instructionImageViews[%1]").arg(i));
        instructionLabels[i] = makeLabel(stepTexts[i], "");
        instructionLabels[i]->setObjectName(QStringLiteral("instructionLabels[%1]").arg(i));
    }

    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setTextFormat(Qt::PlainText);
    statusProgressIndicator->setObjectName(QStringLiteral("statusProgressIndicator"));
    statusImageView->setObjectName(QStringLiteral("statusImageView"));
    manualGainButton->setObjectName(QStringLiteral("manualGainButton"));
    microphoneMeter->setObjectName(QStringLiteral("microphoneMeter"));
    microphonePopUpButton->setObjectName(QStringLiteral("microphonePopUpButton"));
    velmoraMeter->setObjectName(QStringLiteral("velmoraMeter"));
}

VLMMainViewController::~VLMMainViewController()
{
    if (viewLoaded_) {
        // The window may have destroyed the view, and the controls with it.
        delete view_.data();
        return;
    }
    QWidget* controls[] = {topBackgroundView, sourcesMaterialView, instructionsContainer, instructionsLabel,
                           statusProgressIndicator, statusImageView, statusLabel, statusButton, manualGainButton,
                           microphoneLabel, microphoneMeter, microphoneDescriptionLabel, microphonePopUpButton,
                           microphoneSlider, microphoneGainValueLabel, velmoraLabel, velmoraMeter,
                           velmoraDescriptionLabel, velmoraSlider, velmoraGainValueLabel, resetGainButton};
    for (QWidget* control : controls)
        delete control;
    for (QWidget* control : instructionImageViews)
        delete control;
    for (QWidget* control : instructionLabels)
        delete control;
}

QWidget* VLMMainViewController::initialFirstResponder() const
{
    return microphonePopUpButton;
}

VLMFlippedView* VLMMainViewController::view()
{
    if (!viewLoaded_)
        loadView();
    return view_;
}

void VLMMainViewController::loadView()
{
    viewLoaded_ = true;
    const bool manual = NSUserDefaults::standardUserDefaults().boolForKey(manualGainAdjustmentKey);
    view_ = new VLMFlippedView(QRect(0, 0, static_cast<int>(Layout::contentWidth), manual ? 594 : 530));
    view_->setObjectName(QStringLiteral("view"));
    view_->layoutHandler = [this] { viewDidLayout(); };
    configureControls();
}

double VLMMainViewController::preferredContentHeight() const
{
    const double m = manualGainButton->isChecked() ? Layout::manualGainExtraHeight : 0;
    const double s = currentStatus_.kind() == VLMAudioRouterStatus::Kind::ready ? fixedRowsReady : fixedRowsNotReady;
    return (m + Layout::velmoraSectionHeight + Layout::velmoraSectionTrailing) +
           ((s + (m + Layout::microphoneSectionHeight + Layout::microphoneSectionTrailing)) + Layout::sectionSpacing) +
           Layout::manualGainRowHeight;
}

// MARK: Construction

void VLMMainViewController::configureWrappingLabel(QLabel* label)
{
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void VLMMainViewController::configureInstructionsLabel()
{
    // The first "Velmora Studio" in the headline is set semibold.
    const QString text = instructionsLabel->text();
    const QString emphasised = QStringLiteral("Velmora Studio");
    const QFont regular = VLMTypography::appFont(15, NSFontWeightRegular);
    instructionsLabel->setFont(regular);
    setTextColour(instructionsLabel, SemanticColors::labelColor());
    const qsizetype start = text.indexOf(emphasised);
    if (start < 0)
        return;
    const QFont semibold = VLMTypography::appFont(15, NSFontWeightSemibold);
    const QString html = QStringLiteral("%1<span style=\"font-family:'%2'; font-weight:%3;\">%4</span>%5")
                             .arg(text.left(start).toHtmlEscaped(), semibold.family())
                             .arg(static_cast<int>(semibold.weight()))
                             .arg(emphasised.toHtmlEscaped(), text.mid(start + emphasised.size()).toHtmlEscaped());
    instructionsLabel->setTextFormat(Qt::RichText);
    instructionsLabel->setText(html);
    instructionsLabel->setAccessibleName(text);
}

void VLMMainViewController::configureControls()
{
    using namespace SemanticColors;

    configureWrappingLabel(instructionsLabel);
    configureInstructionsLabel();

    for (std::size_t i = 0; i < instructionLabels.size(); ++i) {
        QLabel* label = instructionLabels[i];
        styleLabel(label, 15, NSFontWeightRegular, labelColor());
        configureWrappingLabel(label);
        label->setAccessibleName(QStringLiteral("Step %1. %2").arg(i + 1).arg(label->text()));
        instructionImageViews[i]->setContentTintColor(VLMThemeColors::teal());
        VLMSetAccessibilityElement(instructionImageViews[i], false);
    }

    topBackgroundView->setBoxType(VLMBox::BoxType::custom);
    topBackgroundView->setTitlePosition(VLMBox::TitlePosition::noTitle);
    topBackgroundView->setBorderWidth(0);
    topBackgroundView->setFillColor(windowBackgroundColor());
    VLMSetAccessibilityElement(topBackgroundView, false);

    sourcesMaterialView->setMaterial(VLMVisualEffectView::Material::underWindowBackground);
    sourcesMaterialView->setBlendingMode(VLMVisualEffectView::BlendingMode::behindWindow);
    sourcesMaterialView->setState(VLMVisualEffectView::State::followsWindowActiveState);
    sourcesMaterialView->setAlphaValue(0.72);
    VLMSetAccessibilityElement(sourcesMaterialView, false);

    instructionsContainer->setBoxType(VLMBox::BoxType::custom);
    instructionsContainer->setTitlePosition(VLMBox::TitlePosition::noTitle);
    instructionsContainer->setBorderColor(separatorColor());
    instructionsContainer->setBorderWidth(1);
    instructionsContainer->setCornerRadius(14);
    instructionsContainer->setFillColor(controlBackgroundColor());
    VLMSetAccessibilityElement(instructionsContainer, false);

    statusProgressIndicator->setStyle(VLMProgressIndicator::Style::spinning);
    statusProgressIndicator->setControlSize(VLMProgressIndicator::ControlSize::small);
    statusProgressIndicator->setIndeterminate(true);
    VLMSetAccessibilityElement(statusProgressIndicator, false);

    statusImageView->setContentTintColor(systemOrangeColor());
    VLMSetAccessibilityElement(statusImageView, false);

    styleLabel(statusLabel, 13, NSFontWeightMedium, labelColor());

    statusButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    connect(statusButton, &QPushButton::clicked, this, [this] { statusRecoveryRequested(statusButton); });

    manualGainButton->setChecked(NSUserDefaults::standardUserDefaults().boolForKey(manualGainAdjustmentKey));
    manualGainButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    connect(manualGainButton, &QCheckBox::clicked, this, [this] { manualGainAdjustmentChanged(manualGainButton); });

    styleLabel(microphoneLabel, 18, NSFontWeightSemibold, labelColor());
    styleLabel(microphoneDescriptionLabel, 13, NSFontWeightRegular, secondaryLabelColor());
    configureWrappingLabel(microphoneDescriptionLabel);

    microphonePopUpButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    microphonePopUpButton->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(microphonePopUpButton, &QComboBox::activated, this,
            [this] { microphoneChanged(microphonePopUpButton); });

    styleSlider(microphoneSlider, router->microphoneVolume(), "Microphone gain");
    connect(microphoneSlider, &VLMGradientSliderCell::actionSent, this,
            [this] { microphoneVolumeChanged(microphoneSlider); });
    styleLabel(microphoneGainValueLabel, 13, NSFontWeightMedium, secondaryLabelColor());
    microphoneGainValueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    updateGainValueLabel(microphoneGainValueLabel, router->microphoneVolume());

    styleLabel(velmoraLabel, 18, NSFontWeightSemibold, labelColor());
    styleLabel(velmoraDescriptionLabel, 13, NSFontWeightRegular, secondaryLabelColor());
    configureWrappingLabel(velmoraDescriptionLabel);

    styleSlider(velmoraSlider, router->velmoraVolume(), "Velmora Studio gain");
    connect(velmoraSlider, &VLMGradientSliderCell::actionSent, this,
            [this] { velmoraVolumeChanged(velmoraSlider); });
    styleLabel(velmoraGainValueLabel, 13, NSFontWeightMedium, secondaryLabelColor());
    velmoraGainValueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    updateGainValueLabel(velmoraGainValueLabel, router->velmoraVolume());

    resetGainButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    connect(resetGainButton, &QPushButton::clicked, this, [this] { resetGainRequested(resetGainButton); });

    // Back to front: the backgrounds and the box behind everything else.
    QWidget* view = view_;
    auto add = [view](QWidget* subview) { subview->setParent(view); };
    add(topBackgroundView);
    add(sourcesMaterialView);
    add(instructionsContainer);
    add(instructionsLabel);
    for (std::size_t i = 0; i < instructionLabels.size(); ++i) {
        add(instructionImageViews[i]);
        add(instructionLabels[i]);
    }
    for (QWidget* subview : std::initializer_list<QWidget*>{
             statusProgressIndicator, statusImageView, statusLabel, statusButton, microphoneLabel, microphoneMeter,
             microphoneDescriptionLabel, microphonePopUpButton, microphoneSlider, microphoneGainValueLabel,
             velmoraLabel, velmoraMeter, velmoraDescriptionLabel, velmoraSlider, velmoraGainValueLabel,
             manualGainButton, resetGainButton})
        add(subview);

    audioRouter(*router, VLMAudioRouterStatus::starting());
    audioRouterDidUpdateMicrophones(*router);
}

// MARK: Status

void VLMMainViewController::audioRouter(VLMAudioRouter&, const VLMAudioRouterStatus& status)
{
    currentStatus_ = status;
    updateStatusControls();
    audioIsReady_ = status.kind() == VLMAudioRouterStatus::Kind::ready;
    updateGainControls();
    if (contentHeightDidChange)
        contentHeightDidChange(preferredContentHeight());
    switch (status.kind()) {
    case VLMAudioRouterStatus::Kind::driverMissing:
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied:
    case VLMAudioRouterStatus::Kind::failed:
        AccessibilityPostAnnouncement(statusLabel, statusText(status), AccessibilityPriority::high);
        break;
    case VLMAudioRouterStatus::Kind::starting:
    case VLMAudioRouterStatus::Kind::ready: break;
    }
}

void VLMMainViewController::updateStatusControls()
{
    statusLabel->setText(statusText(currentStatus_));
    statusLabel->setToolTip(QString());
    switch (currentStatus_.kind()) {
    case VLMAudioRouterStatus::Kind::starting:
        statusProgressIndicator->setHidden(false);
        statusProgressIndicator->startAnimation();
        statusImageView->setHidden(true);
        statusLabel->setHidden(false);
        statusButton->setHidden(true);
        break;
    case VLMAudioRouterStatus::Kind::ready:
        statusProgressIndicator->stopAnimation();
        statusProgressIndicator->setHidden(true);
        statusImageView->setHidden(true);
        statusLabel->setHidden(true);
        statusButton->setHidden(true);
        break;
    case VLMAudioRouterStatus::Kind::driverMissing: showStatusError(QStringLiteral("Download Installer")); break;
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied:
        showStatusError(QStringLiteral("Open Microphone Settings"));
        break;
    case VLMAudioRouterStatus::Kind::failed: showStatusError(QStringLiteral("Try Again")); break;
    }
    setNeedsLayout();
}

void VLMMainViewController::showStatusError(const QString& buttonTitle)
{
    statusProgressIndicator->stopAnimation();
    statusProgressIndicator->setHidden(true);
    statusImageView->setHidden(false);
    statusLabel->setHidden(false);
    statusButton->setText(buttonTitle);
    statusButton->setHidden(false);
}

void VLMMainViewController::statusRecoveryRequested(QPushButton*)
{
    switch (currentStatus_.kind()) {
    case VLMAudioRouterStatus::Kind::driverMissing:
        openURLString(VLMProductWebPageURLString());
        break;
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied:
        openURLString(QString::fromLatin1(VLMMicrophonePrivacySettingsURLString));
        break;
    case VLMAudioRouterStatus::Kind::failed: router->start(); break;
    case VLMAudioRouterStatus::Kind::starting:
    case VLMAudioRouterStatus::Kind::ready: break;
    }
}

void VLMMainViewController::openURLString(const QString& string)
{
    const QUrl url(string, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return;
    WorkspaceOpenURL(url);
}

// MARK: Microphones

void VLMMainViewController::audioRouterDidUpdateMicrophones(VLMAudioRouter&)
{
    QComboBox* popUp = microphonePopUpButton;
    const std::vector<VLMAudioDevice>& microphones = router->microphones();
    popUp->clear();

    if (const std::optional<std::string>& defaultUID = router->defaultMicrophoneUID()) {
        const auto device = std::find_if(microphones.begin(), microphones.end(),
                                         [&](const VLMAudioDevice& candidate) { return candidate.uid == *defaultUID; });
        if (device != microphones.end()) {
            popUp->addItem(QStringLiteral("System Default — ") + QString::fromStdString(device->name),
                           QString::fromLatin1(systemDefaultMicrophone));
            popUp->insertSeparator(popUp->count());
        }
    }
    for (const VLMAudioDevice& device : microphones)
        popUp->addItem(QString::fromStdString(device.name), QString::fromStdString(device.uid));

    // A separator carries no string, so it never matches.
    auto indexOf = [popUp](const QString& represented) {
        for (int i = 0; i < popUp->count(); ++i) {
            const QVariant data = popUp->itemData(i);
            if (data.typeId() == QMetaType::QString && data.toString() == represented)
                return i;
        }
        return -1;
    };
    int selection = -1;
    if (router->usesSystemDefaultMicrophone())
        selection = indexOf(QString::fromLatin1(systemDefaultMicrophone));
    if (selection < 0 && router->selectedMicrophoneUID())
        selection = indexOf(QString::fromStdString(*router->selectedMicrophoneUID()));
    if (selection < 0 && popUp->count() > 0)
        selection = 0;
    popUp->setCurrentIndex(selection);

    popUp->setEnabled(!microphones.empty());
    setNeedsLayout();
}

void VLMMainViewController::microphoneChanged(QComboBox* sender)
{
    const int index = sender->currentIndex();
    if (index < 0)
        return;
    const QVariant data = sender->itemData(index);
    if (data.typeId() != QMetaType::QString)
        return;
    const QString represented = data.toString();
    if (represented == QLatin1String(systemDefaultMicrophone))
        router->selectSystemDefaultMicrophone();
    else
        router->selectMicrophone(represented.toStdString());
}

// MARK: Levels and gains

void VLMMainViewController::audioRouter(VLMAudioRouter&, float level, VLMAudioSource source)
{
    switch (source) {
    case VLMAudioSource::microphone: microphoneMeter->setLevel(level); break;
    case VLMAudioSource::velmora: velmoraMeter->setLevel(level); break;
    }
}

void VLMMainViewController::updateGainControls()
{
    const bool manual = manualGainButton->isChecked();
    for (QWidget* control : std::initializer_list<QWidget*>{microphoneSlider, microphoneGainValueLabel, velmoraSlider,
                                                            velmoraGainValueLabel, resetGainButton})
        control->setHidden(!manual);
    microphoneSlider->setEnabled(manual && audioIsReady_);
    velmoraSlider->setEnabled(manual && audioIsReady_);

    // The keyboard loop: pop-up, sliders, checkbox, reset button while manual
    // gain is on; pop-up and checkbox while it is off.
    if (manual) {
        QWidget::setTabOrder(microphonePopUpButton, microphoneSlider);
        QWidget::setTabOrder(microphoneSlider, velmoraSlider);
        QWidget::setTabOrder(velmoraSlider, manualGainButton);
        QWidget::setTabOrder(manualGainButton, resetGainButton);
    } else {
        QWidget::setTabOrder(microphonePopUpButton, manualGainButton);
    }
    setNeedsLayout();
}

void VLMMainViewController::manualGainAdjustmentChanged(QCheckBox* sender)
{
    NSUserDefaults::standardUserDefaults().setBool(sender->isChecked(), manualGainAdjustmentKey);
    updateGainControls();
    if (contentHeightDidChange)
        contentHeightDidChange(preferredContentHeight());
}

void VLMMainViewController::microphoneVolumeChanged(VLMGradientSliderCell* sender)
{
    router->setMicrophoneVolume(static_cast<float>(sender->doubleValue()));
    updateGainValueLabel(microphoneGainValueLabel, router->microphoneVolume());
}

void VLMMainViewController::velmoraVolumeChanged(VLMGradientSliderCell* sender)
{
    router->setVelmoraVolume(static_cast<float>(sender->doubleValue()));
    updateGainValueLabel(velmoraGainValueLabel, router->velmoraVolume());
}

void VLMMainViewController::resetGainRequested(QPushButton*)
{
    microphoneSlider->setDoubleValue(0.8);
    velmoraSlider->setDoubleValue(0.8);
    router->setMicrophoneVolume(0.8f);
    router->setVelmoraVolume(0.8f);
    updateGainValueLabel(microphoneGainValueLabel, router->microphoneVolume());
    updateGainValueLabel(velmoraGainValueLabel, router->velmoraVolume());
}

void VLMMainViewController::updateGainValueLabel(QLabel* label, float value)
{
    // Single precision, halves away from zero: 0.125 reads 13%.
    label->setText(QString::number(std::lround(value * 100.0f)) + QLatin1Char('%'));
}

// MARK: Layout

void VLMMainViewController::setNeedsLayout()
{
    view()->setNeedsLayout();
}

void VLMMainViewController::viewDidLayout()
{
    const QRectF bounds = view_->rect();
    QRectF rest = inset(bounds, Layout::horizontalInset, 0);
    cutTop(rest, Layout::topMargin);
    cutBottom(rest, Layout::bottomMargin);

    const QRectF instructions = cutTop(rest, Layout::instructionsHeight);
    setFrame(instructionsContainer, instructions);
    layoutInstructions(inset(instructions, Layout::instructionsPaddingX, Layout::instructionsPaddingY));
    cutTop(rest, Layout::instructionsBottomGap);

    if (currentStatus_.kind() != VLMAudioRouterStatus::Kind::ready)
        layoutStatus(cutTop(rest, Layout::statusRowHeight));

    setFrame(topBackgroundView, QRectF(bounds.x(), bounds.y(), bounds.width(), rest.top() - bounds.top()));
    setFrame(sourcesMaterialView, QRectF(bounds.x(), rest.top(), bounds.width(), bounds.bottom() - rest.top()));

    cutTop(rest, Layout::sourcesTopGap);
    const double m = manualGainButton->isChecked() ? Layout::manualGainExtraHeight : 0;
    layoutMicrophoneSection(
        cutTop(rest, Layout::microphoneSectionHeight + Layout::microphoneSectionTrailing + m));
    cutTop(rest, Layout::sectionSpacing);
    layoutVelmoraSection(cutTop(rest, Layout::velmoraSectionHeight + Layout::velmoraSectionTrailing + m));
    layoutManualGainButton(cutTop(rest, Layout::manualGainRowHeight));
}

void VLMMainViewController::layoutInstructions(QRectF content)
{
    setFrame(instructionsLabel, cutTop(content, Layout::instructionsHeaderHeight));
    for (std::size_t i = 0; i < instructionLabels.size(); ++i) {
        QRectF row = cutTop(content, Layout::instructionRowHeights[i]);
        QRectF iconColumn = cutLeft(row, Layout::instructionIconSize);
        const QRectF textArea = inset(row, Layout::instructionTextInset, 0);
        QLabel* label = instructionLabels[i];
        const double needed = label->heightForWidth(static_cast<int>(std::lround(textArea.width())));
        const double height = std::min(needed > 0 ? needed : textArea.height(), textArea.height());
        const QRectF labelFrame = centreHeight(textArea, height);
        setFrame(label, labelFrame);
        // The icon's top is level with the text's top, not the row's.
        cutTop(iconColumn, std::max(0.0, labelFrame.top() - iconColumn.top()));
        setFrame(instructionImageViews[i], cutTop(iconColumn, Layout::instructionIconSize));
    }
}

void VLMMainViewController::layoutStatus(QRectF band)
{
    band = centreHeight(band, Layout::statusIconSize);
    const QRectF icon = cutLeft(band, Layout::statusIconSize);
    setFrame(statusProgressIndicator, icon);
    setFrame(statusImageView, icon);
    QRectF text = inset(band, Layout::statusTextInset, 0);
    if (!statusButton->isHidden())
        setFrame(statusButton, cutRight(text, statusButton->sizeHint().width()));
    setFrame(statusLabel, text);
    // A long failure message ends in "…" and shows whole as a tool tip.
    statusLabel->setToolTip(statusLabel->isTruncated() ? statusLabel->text() : QString());
}

void VLMMainViewController::layoutMicrophoneSection(QRectF section)
{
    layoutSourceHeader(cutTop(section, Layout::sourceHeaderHeight), microphoneLabel, microphoneMeter);
    setFrame(microphoneDescriptionLabel, cutTop(section, Layout::microphoneDescriptionHeight));
    cutTop(section, Layout::popUpGap);
    QRectF popUpRow = cutTop(section, Layout::popUpRowHeight);
    const double intrinsic = std::max(0, microphonePopUpButton->sizeHint().width());
    pinFrame(microphonePopUpButton, cutLeft(popUpRow, std::min(intrinsic, popUpRow.width())));
    if (manualGainButton->isChecked()) {
        cutTop(section, Layout::gainRowGap);
        layoutGainControls(microphoneSlider, microphoneGainValueLabel, cutTop(section, Layout::gainRowHeight));
    }
}

void VLMMainViewController::layoutVelmoraSection(QRectF section)
{
    layoutSourceHeader(cutTop(section, Layout::sourceHeaderHeight), velmoraLabel, velmoraMeter);
    setFrame(velmoraDescriptionLabel, cutTop(section, Layout::velmoraDescriptionHeight));
    if (manualGainButton->isChecked()) {
        cutTop(section, Layout::gainRowGap);
        layoutGainControls(velmoraSlider, velmoraGainValueLabel, cutTop(section, Layout::gainRowHeight));
    }
}

void VLMMainViewController::layoutSourceHeader(QRectF header, QLabel* label, VLMAudioLevelMeterView* meter)
{
    const QRectF meterStrip = cutRight(header, Layout::meterWidth);
    setFrame(label, centreHeight(header, label->sizeHint().height()));
    const double meterHeight = std::min(static_cast<double>(VLMAudioLevelMeterView::naturalHeight()), meterStrip.height());
    setFrame(meter, centreHeight(meterStrip, meterHeight));
}

void VLMMainViewController::layoutGainControls(VLMGradientSliderCell* slider, QLabel* valueLabel, QRectF row)
{
    setFrame(valueLabel, cutRight(row, Layout::gainValueWidth));
    setFrame(slider, QRectF(row.x(), row.y(), std::max(0.0, row.width() - Layout::gainValueGap), row.height()));
}

void VLMMainViewController::layoutManualGainButton(QRectF row)
{
    const QSize checkbox = manualGainButton->sizeHint();
    QRectF band = centreHeight(row, checkbox.height());
    const QRectF whole = band;
    setFrame(manualGainButton, cutLeft(band, std::min<double>(checkbox.width(), row.width())));
    if (!resetGainButton->isHidden()) {
        QRectF right = whole;
        setFrame(resetGainButton, cutRight(right, std::min<double>(resetGainButton->sizeHint().width(), row.width())));
    }
}
