#pragma once
// The whole content of the main window: setup instructions, the status row,
// the microphone and Velmora Studio sections with meters and optional gain
// rows, and the manual gain row. It is the router's delegate and turns the
// user's actions into router calls. Main thread only.
//
// Every control is created by the constructor and owned for the
// controller's life; each control's objectName is its field name.

#include "VLMAudioRouter.h"
#include "VLMAudioRouterStatus.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRectF;
class QWidget;
class VLMAudioLevelMeterView;
class VLMBox;
class VLMFlippedView;
class VLMGradientSliderCell;
class VLMImageView;
class VLMLabel;
class VLMProgressIndicator;
class VLMVisualEffectView;

class VLMMainViewController : public QObject,
                              public VLMAudioRouterDelegate,
                              public std::enable_shared_from_this<VLMMainViewController> {
    Q_OBJECT
public:
    // User-defaults key: whether the user last left manual gain adjustment on.
    static constexpr const char* manualGainAdjustmentKey = "VLMManualGainAdjustment";
    // The represented object of the pop-up's "System Default" item.
    static constexpr const char* systemDefaultMicrophone = "VLMSystemDefaultMicrophone";

    // Creates every control and becomes the router's delegate. The view is
    // created on first use.
    static std::shared_ptr<VLMMainViewController> create(std::shared_ptr<VLMAudioRouter> router);
    ~VLMMainViewController() override;

    VLMMainViewController(const VLMMainViewController&) = delete;
    VLMMainViewController& operator=(const VLMMainViewController&) = delete;

    // The root view, created (and brought into line with the router) on the
    // first call.
    VLMFlippedView* view();
    bool isViewLoaded() const { return viewLoaded_; }
    // Where the keyboard focus goes when the window opens: the start of the
    // keyboard loop.
    QWidget* initialFirstResponder() const;

    // The height the content needs for the current status and checkbox.
    double preferredContentHeight() const;
    // Called with preferredContentHeight after every applied status and
    // every toggle of the checkbox.
    std::function<void(double)> contentHeightDidChange;

    const VLMAudioRouterStatus& currentStatus() const { return currentStatus_; }
    bool audioIsReady() const { return audioIsReady_; }

    // VLMAudioRouterDelegate
    void audioRouter(VLMAudioRouter& router, const VLMAudioRouterStatus& didChangeStatus) override;
    void audioRouterDidUpdateMicrophones(VLMAudioRouter& router) override;
    void audioRouter(VLMAudioRouter& router, float didUpdateLevel, VLMAudioSource source) override;

    // Actions, sent by the controls.
    void statusRecoveryRequested(QPushButton* sender);
    void manualGainAdjustmentChanged(QCheckBox* sender);
    void microphoneChanged(QComboBox* sender);
    void microphoneVolumeChanged(VLMGradientSliderCell* sender);
    void velmoraVolumeChanged(VLMGradientSliderCell* sender);
    void resetGainRequested(QPushButton* sender);

private:
    explicit VLMMainViewController(std::shared_ptr<VLMAudioRouter> router);

    void loadView();
    void configureControls();
    void configureInstructionsLabel();
    void configureWrappingLabel(QLabel* label);

    void updateStatusControls();
    void showStatusError(const QString& buttonTitle);
    void updateGainControls();
    void updateGainValueLabel(QLabel* label, float value);
    void openURLString(const QString& string);
    void setNeedsLayout();

    void viewDidLayout();
    void layoutInstructions(QRectF content);
    void layoutStatus(QRectF band);
    void layoutMicrophoneSection(QRectF section);
    void layoutVelmoraSection(QRectF section);
    void layoutSourceHeader(QRectF header, QLabel* label, VLMAudioLevelMeterView* meter);
    void layoutGainControls(VLMGradientSliderCell* slider, QLabel* valueLabel, QRectF row);
    void layoutManualGainButton(QRectF row);

    std::shared_ptr<VLMAudioRouter> router;
    VLMBox* topBackgroundView;
    VLMVisualEffectView* sourcesMaterialView;
    VLMBox* instructionsContainer;
    QLabel* instructionsLabel;
    std::array<VLMImageView*, 3> instructionImageViews;
    std::array<QLabel*, 3> instructionLabels;
    VLMProgressIndicator* statusProgressIndicator;
    VLMImageView* statusImageView;
    VLMLabel* statusLabel;
    QPushButton* statusButton;
    QCheckBox* manualGainButton;
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
    QPushButton* resetGainButton;
    bool audioIsReady_ = false;
    VLMAudioRouterStatus currentStatus_ = VLMAudioRouterStatus::starting();

    bool viewLoaded_ = false;
    // The window that shows the view owns it once the view is its content.
    QPointer<VLMFlippedView> view_;
};
