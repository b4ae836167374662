#pragma once
// The whole content of the main window: setup instructions, the status row,
// the microphone and Velmora Studio sections with meters and optional gain
// rows, and the manual gain row. It is the router's delegate and turns the
// user's actions into router calls. Main thread only.
//
// The constructor creates the view and every control as its child, so the
// view owns them; each control's objectName is its field name.

#include "VLMAudioRouter.h"
#include "VLMAudioRouterStatus.h"
#include "VLMMainViewLayout.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QWidget;
class VLMFlippedView;
class VLMMeterRefresh;

class VLMMainViewController : public QObject,
                              public VLMAudioRouterDelegate,
                              public std::enable_shared_from_this<VLMMainViewController>,
                              private VLMMainViewControls {
    Q_OBJECT
public:
    // User-defaults key: whether the user last left manual gain adjustment on.
    static constexpr const char* manualGainAdjustmentKey = "VLMManualGainAdjustment";
    // The represented object of the pop-up's "System Default" item.
    static constexpr const char* systemDefaultMicrophone = "VLMSystemDefaultMicrophone";

    // Creates the view with every control and becomes the router's delegate.
    // The view is set up on first use.
    static std::shared_ptr<VLMMainViewController> create(std::shared_ptr<VLMAudioRouter> router);
    ~VLMMainViewController() override;

    VLMMainViewController(const VLMMainViewController&) = delete;
    VLMMainViewController& operator=(const VLMMainViewController&) = delete;

    // The root view, set up (and brought into line with the router) on the
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
    // Takes the router's newest levels for the meters once per screen refresh
    // while audio runs and the window can be seen.
    const VLMMeterRefresh& meterRefresh() const { return *meterRefresh_; }

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
    VLMMainViewController(std::shared_ptr<VLMAudioRouter> router, VLMFlippedView* view);

    void loadView();
    void configureControls();
    void configureInstructionsLabel();
    void configureWrappingLabel(QLabel* label);
    void applyColours();
    bool eventFilter(QObject* watched, QEvent* event) override;

    void updateStatusControls();
    void showStatusError(const QString& buttonTitle);
    void updateGainControls();
    void updateGainValueLabel(QLabel* label, float value);
    void openURLString(const QString& string);
    void setNeedsLayout();
    void viewDidLayout();
    VLMMainViewLayout::Rows rowsShown() const;

    std::shared_ptr<VLMAudioRouter> router;
    bool audioIsReady_ = false;
    VLMAudioRouterStatus currentStatus_ = VLMAudioRouterStatus::starting();

    VLMMeterRefresh* meterRefresh_;  // a child of the view
    bool viewLoaded_ = false;
    // The window that shows the view owns it once the view is its content.
    QPointer<VLMFlippedView> view_;
};
