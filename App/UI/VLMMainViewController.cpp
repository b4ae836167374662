#include "VLMMainViewController.h"

#include "VLMAccessibility.h"
#include "VLMAudioHardware.h"
#include "VLMAudioLevelMeterView.h"
#include "VLMMeterRefresh.h"
#include "VLMVirtualOutputDevice.h"
#include "VLMBox.h"
#include "VLMCheckBox.h"
#include "VLMFlippedView.h"
#include "VLMGradientSliderCell.h"
#include "VLMImageView.h"
#include "VLMLabel.h"
#include "VLMLinks.h"
#include "VLMPopUpButton.h"
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
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

using VLMMainViewLayout::Rows;

template <class Control>
Control* named(Control* control, const char* name)
{
    control->setObjectName(QString::fromLatin1(name));
    return control;
}

QLabel* makeLabel(const QString& text, const char* name, QWidget* view)
{
    auto* label = named(new QLabel(text, view), name);
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

void styleLabel(QLabel* label, double size, double weight)
{
    label->setFont(VLMTypography::appFont(size, weight));
}

// Text in the design's colour, or the nearest colour readable over its
// background in the current palette.
void setLegibleTextColour(QWidget* widget, const QColor& colour, const QColor& background)
{
    setTextColour(widget, VLMThemeColors::legibleOn(colour, background, VLMThemeColors::textContrast));
}

void styleSlider(VLMGradientSliderCell* slider, float value, const char* accessibilityLabel)
{
    slider->setMinValue(0);
    slider->setMaxValue(1);
    slider->setDoubleValue(value);
    slider->setContinuous(true);
    slider->setAccessibleName(QString::fromLatin1(accessibilityLabel));
}

VLMGradientSliderCell* makeSlider(const char* name, QWidget* view)
{
    auto* slider = named(new VLMGradientSliderCell(view), name);
    slider->setMinValue(0);
    slider->setMaxValue(1);
    slider->setDoubleValue(0.8);
    return slider;
}

QPushButton* makePushButton(const QString& title, const char* name, QWidget* view)
{
    return named(new VLMPushButton(title, view), name);
}

std::array<VLMMainViewControls::InstructionStep, 3> makeInstructionSteps(QWidget* view)
{
    const QString texts[] = {
        QStringLiteral("Pick your mic input below."),
        QStringLiteral("In your voice chat app, pick \"Velmora Studio Connect\" as your input."),
        QStringLiteral("You're done!"),
    };
    std::array<VLMMainViewControls::InstructionStep, 3> steps{};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        std::optional<SymbolImage> symbol = SymbolImage::systemSymbol(QStringLiteral("%1.circle.fill").arg(i + 1));
        if (symbol)
            symbol->setWeight(NSFontWeightSemibold);
        steps[i].icon = new VLMImageView(std::move(symbol), view);
        steps[i].icon->setObjectName(QStringLiteral("instructionImageViews[%1]").arg(i));
        steps[i].label = makeLabel(texts[i], "", view);
        steps[i].label->setObjectName(QStringLiteral("instructionLabels[%1]").arg(i));
    }
    return steps;
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
    std::shared_ptr<VLMMainViewController> controller(
        new VLMMainViewController(std::move(router), new VLMFlippedView(QRect())));
    controller->router->delegate = controller;
    return controller;
}

// Created back to front, each a child of the view.
VLMMainViewController::VLMMainViewController(std::shared_ptr<VLMAudioRouter> router, VLMFlippedView* view)
    : VLMMainViewControls{
          .topBackgroundView = named(new VLMBox(view), "topBackgroundView"),
          .sourcesMaterialView = named(new VLMVisualEffectView(view), "sourcesMaterialView"),
          .instructionsContainer = named(new VLMBox(view), "instructionsContainer"),
          .instructionsLabel =
              makeLabel(QStringLiteral("Use Velmora Studio with Discord, Zoom or any other voice chat app."),
                        "instructionsLabel", view),
          .instructionSteps = makeInstructionSteps(view),
          .statusProgressIndicator = named(new VLMProgressIndicator(view), "statusProgressIndicator"),
          .statusImageView = named(
              new VLMImageView(SymbolImage::systemSymbol(QStringLiteral("exclamationmark.triangle.fill")), view),
              "statusImageView"),
          .statusLabel = named(new VLMLabel(QStringLiteral("Starting audio…"), view), "statusLabel"),
          .statusButton = makePushButton(QString(), "statusButton", view),
          .microphoneLabel = makeLabel(QStringLiteral("Microphone"), "microphoneLabel", view),
          .microphoneMeter = named(new VLMAudioLevelMeterView(QStringLiteral("Microphone level"), view),
                                   "microphoneMeter"),
          .microphoneDescriptionLabel =
              makeLabel(QStringLiteral("Your beautiful voice."), "microphoneDescriptionLabel", view),
          .microphonePopUpButton = named(new VLMPopUpButton(view), "microphonePopUpButton"),
          .microphoneSlider = makeSlider("microphoneSlider", view),
          .microphoneGainValueLabel = makeLabel(QStringLiteral("80%"), "microphoneGainValueLabel", view),
          .velmoraLabel = makeLabel(QStringLiteral("Velmora Studio"), "velmoraLabel", view),
          .velmoraMeter = named(new VLMAudioLevelMeterView(QStringLiteral("Velmora Studio level"), view),
                                "velmoraMeter"),
          .velmoraDescriptionLabel = makeLabel(QStringLiteral("Includes Velmora Studio Atmospheres, Sound Effects, "
                                                              "local Playlists, and Apple Music, if active."),
                                               "velmoraDescriptionLabel", view),
          .velmoraSlider = makeSlider("velmoraSlider", view),
          .velmoraGainValueLabel = makeLabel(QStringLiteral("80%"), "velmoraGainValueLabel", view),
          .manualGainButton = named(new VLMCheckBox(QStringLiteral("Manual Gain Adjustment"), view), "manualGainButton"),
          .resetGainButton = makePushButton(QStringLiteral("Reset to Default Gain"), "resetGainButton", view),
      },
      router(std::move(router)),
      meterRefresh_(new VLMMeterRefresh(
          view, [this] { this->router->deliverMeterLevels(); },
          // Unseen, the program measures no levels, and may let its audio rest
          // while nobody records it.
          [this](bool seen) {
              this->router->setMetersShown(seen);
              VLMAudioHardware::setFavorsSavingPower(!seen);
          })),
      view_(view)
{
    VLMInstallAccessibility();
    // The taps measure a level per meterTapFrames; at the highest rate the
    // device runs, that is every 21 ms.
    const double fastestRate = *std::max_element(std::begin(VLMVirtualOutputDevice::supportedSampleRates),
                                                 std::end(VLMVirtualOutputDevice::supportedSampleRates));
    meterRefresh_->setMinimumInterval(static_cast<int>(1000.0 * VLMAudioRouter::meterTapFrames / fastestRate));
    // Woken only by levels that light another number of segments.
    this->router->setMeterShows(&VLMAudioLevelMeterView::litSegmentCount);
    meterRefresh_->setReadyDescriptor(this->router->meterLevelsReadyDescriptor());
    view->setObjectName(QStringLiteral("view"));
    statusLabel->setTextFormat(Qt::PlainText);
}

VLMMainViewController::~VLMMainViewController()
{
    // The window may have destroyed the view, and the controls with it.
    delete view_.data();
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
    // The view opens on "starting", which shows the status row.
    const Rows rows{.status = true,
                    .gain = NSUserDefaults::standardUserDefaults().boolForKey(manualGainAdjustmentKey)};
    view_->setGeometry(QRect(0, 0, static_cast<int>(VLMMainViewLayout::contentWidth),
                             static_cast<int>(VLMMainViewLayout::preferredContentHeight(rows))));
    view_->layoutHandler = [this] { viewDidLayout(); };
    // A palette or theme change at run time (a switch to dark, say) reaches
    // the view; its colours are set again from the new palette.
    view_->installEventFilter(this);
    configureControls();
}

double VLMMainViewController::preferredContentHeight() const
{
    return VLMMainViewLayout::preferredContentHeight(rowsShown());
}

Rows VLMMainViewController::rowsShown() const
{
    return {.status = currentStatus_.kind() != VLMAudioRouterStatus::Kind::ready,
            .gain = manualGainButton->isChecked()};
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

    for (std::size_t i = 0; i < instructionSteps.size(); ++i) {
        QLabel* label = instructionSteps[i].label;
        styleLabel(label, 15, NSFontWeightRegular);
        configureWrappingLabel(label);
        label->setAccessibleName(QStringLiteral("Step %1. %2").arg(i + 1).arg(label->text()));
        VLMSetAccessibilityElement(instructionSteps[i].icon, false);
    }

    topBackgroundView->setBoxType(VLMBox::BoxType::custom);
    topBackgroundView->setTitlePosition(VLMBox::TitlePosition::noTitle);
    topBackgroundView->setBorderWidth(0);
    VLMSetAccessibilityElement(topBackgroundView, false);

    sourcesMaterialView->setMaterial(VLMVisualEffectView::Material::underWindowBackground);
    sourcesMaterialView->setBlendingMode(VLMVisualEffectView::BlendingMode::behindWindow);
    sourcesMaterialView->setState(VLMVisualEffectView::State::followsWindowActiveState);
    sourcesMaterialView->setAlphaValue(0.72);
    VLMSetAccessibilityElement(sourcesMaterialView, false);

    instructionsContainer->setBoxType(VLMBox::BoxType::custom);
    instructionsContainer->setTitlePosition(VLMBox::TitlePosition::noTitle);
    instructionsContainer->setBorderWidth(1);
    instructionsContainer->setCornerRadius(14);
    VLMSetAccessibilityElement(instructionsContainer, false);

    statusProgressIndicator->setStyle(VLMProgressIndicator::Style::spinning);
    statusProgressIndicator->setControlSize(VLMProgressIndicator::ControlSize::small);
    statusProgressIndicator->setIndeterminate(true);
    VLMSetAccessibilityElement(statusProgressIndicator, false);

    VLMSetAccessibilityElement(statusImageView, false);

    styleLabel(statusLabel, 13, NSFontWeightMedium);

    statusButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    connect(statusButton, &QPushButton::clicked, this, [this] { statusRecoveryRequested(statusButton); });

    manualGainButton->setChecked(NSUserDefaults::standardUserDefaults().boolForKey(manualGainAdjustmentKey));
    manualGainButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    connect(manualGainButton, &QCheckBox::clicked, this, [this] { manualGainAdjustmentChanged(manualGainButton); });

    styleLabel(microphoneLabel, 18, NSFontWeightSemibold);
    styleLabel(microphoneDescriptionLabel, 13, NSFontWeightRegular);
    configureWrappingLabel(microphoneDescriptionLabel);

    microphonePopUpButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    microphonePopUpButton->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    // An empty pop-up says so rather than showing a blank.
    microphonePopUpButton->setPlaceholderText(QStringLiteral("No microphone"));
    connect(microphonePopUpButton, &QComboBox::activated, this,
            [this] { microphoneChanged(microphonePopUpButton); });

    styleSlider(microphoneSlider, router->microphoneVolume(), "Microphone gain");
    connect(microphoneSlider, &VLMGradientSliderCell::actionSent, this,
            [this] { microphoneVolumeChanged(microphoneSlider); });
    styleLabel(microphoneGainValueLabel, 13, NSFontWeightMedium);
    microphoneGainValueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    updateGainValueLabel(microphoneGainValueLabel, router->microphoneVolume());

    styleLabel(velmoraLabel, 18, NSFontWeightSemibold);
    styleLabel(velmoraDescriptionLabel, 13, NSFontWeightRegular);
    configureWrappingLabel(velmoraDescriptionLabel);

    styleSlider(velmoraSlider, router->velmoraVolume(), "Velmora Studio gain");
    connect(velmoraSlider, &VLMGradientSliderCell::actionSent, this,
            [this] { velmoraVolumeChanged(velmoraSlider); });
    styleLabel(velmoraGainValueLabel, 13, NSFontWeightMedium);
    velmoraGainValueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    updateGainValueLabel(velmoraGainValueLabel, router->velmoraVolume());

    // The pop-up is named by its selection; "Microphone" labels it, and each
    // source's description describes its controls.
    microphoneLabel->setBuddy(microphonePopUpButton);
    for (QWidget* control : std::initializer_list<QWidget*>{microphoneMeter, microphonePopUpButton, microphoneSlider})
        control->setAccessibleDescription(microphoneDescriptionLabel->text());
    for (QWidget* control : std::initializer_list<QWidget*>{velmoraMeter, velmoraSlider})
        control->setAccessibleDescription(velmoraDescriptionLabel->text());

    resetGainButton->setFont(VLMTypography::appFont(13, NSFontWeightRegular));
    connect(resetGainButton, &QPushButton::clicked, this, [this] { resetGainRequested(resetGainButton); });

    applyColours();
    audioRouter(*router, VLMAudioRouterStatus::starting());
    audioRouterDidUpdateMicrophones(*router);
}

// MARK: Colours

// The design's colours where they read well; where the palette leaves text
// below 4.5:1 or a graphic below 3:1 against what lies behind it, the
// nearest colour that reaches it. Run again on every palette change.
void VLMMainViewController::applyColours()
{
    using namespace SemanticColors;
    using VLMThemeColors::graphicsContrast;
    using VLMThemeColors::legibleOn;

    const QColor window = windowBackgroundColor();
    const QColor card = controlBackgroundColor();
    const QColor material = sourcesMaterialView->effectiveColor();

    topBackgroundView->setFillColor(window);
    instructionsContainer->setBorderColor(separatorColor());
    instructionsContainer->setFillColor(card);
    setLegibleTextColour(instructionsLabel, labelColor(), card);
    for (const InstructionStep& step : instructionSteps) {
        setLegibleTextColour(step.label, labelColor(), card);
        step.icon->setContentTintColor(legibleOn(VLMThemeColors::teal(), card, graphicsContrast));
    }

    statusImageView->setContentTintColor(systemOrangeColor());
    setLegibleTextColour(statusLabel, labelColor(), window);
    static_cast<VLMPushButton*>(statusButton)->setBackdropColor(window);

    for (QLabel* label : {microphoneLabel, velmoraLabel})
        setLegibleTextColour(label, labelColor(), material);
    for (QLabel* label :
         {microphoneDescriptionLabel, microphoneGainValueLabel, velmoraDescriptionLabel, velmoraGainValueLabel})
        setLegibleTextColour(label, secondaryLabelColor(), material);
    static_cast<VLMCheckBox*>(manualGainButton)->setBackdropColor(material);
    static_cast<VLMPopUpButton*>(microphonePopUpButton)->setBackdropColor(material);
    microphoneSlider->setBackdropColor(material);
    velmoraSlider->setBackdropColor(material);
    static_cast<VLMPushButton*>(resetGainButton)->setBackdropColor(material);
    view_->update();
}

bool VLMMainViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_ && viewLoaded_ &&
        (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::ThemeChange ||
         event->type() == QEvent::PaletteChange))
        applyColours();
    return QObject::eventFilter(watched, event);
}

// MARK: Status

void VLMMainViewController::audioRouter(VLMAudioRouter&, const VLMAudioRouterStatus& status)
{
    currentStatus_ = status;
    updateStatusControls();
    audioIsReady_ = status.kind() == VLMAudioRouterStatus::Kind::ready;
    meterRefresh_->setEnabled(audioIsReady_);
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
    statusButton->setAccessibleDescription(statusText(currentStatus_));
    statusButton->setHidden(false);
}

void VLMMainViewController::statusRecoveryRequested(QPushButton*)
{
    switch (currentStatus_.kind()) {
    case VLMAudioRouterStatus::Kind::driverMissing:
        openURLString(VLMProductWebPageURLString());
        break;
    case VLMAudioRouterStatus::Kind::microphonePermissionDenied: VLMOpenMicrophoneSettings(view_); break;
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
    VLMMainViewLayout::layOut(*this, view_->rect(), rowsShown());
}
