#include "UITest.h"

#include "MainQueue.h"
#include "NSUserDefaults.h"
#include "VLMAudioLevelMeterView.h"
#include "VLMFlippedView.h"
#include "VLMGradientSliderCell.h"
#include "VLMLinks.h"
#include "VLMMainViewController.h"
#include "VLMMainViewLayout.h"
#include "VLMProgressIndicator.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include <gmock/gmock.h>

using testing::ElementsAre;

namespace {

using Kind = VLMAudioRouterStatus::Kind;

class VLMMainViewControllerTest : public UITest {
protected:
    void makeController()
    {
        router = makeRouter();
        controller = VLMMainViewController::create(router);
        view = controller->view();
        controller->contentHeightDidChange = [this](double height) { reportedHeights.push_back(height); };
    }

    void apply(const VLMAudioRouterStatus& status) { controller->audioRouter(*router, status); }

    // Lays the view out at the given size, as the window does.
    void layOut(int width, int height)
    {
        view->resize(width, height);
        view->setNeedsLayout();
        view->layoutSubtreeIfNeeded();
    }

    template <class Control = QWidget>
    Control* find(const char* name)
    {
        return control<Control>(view, name);
    }

    QRect frame(const char* name) { return find(name)->geometry(); }

    // Frames are whole points; a centred control may sit half a point off.
    static double middle(const QRect& rect) { return rect.top() + rect.height() / 2.0; }

    QStringList popUpTitles()
    {
        QStringList titles;
        auto* popUp = find<QComboBox>("microphonePopUpButton");
        for (int i = 0; i < popUp->count(); ++i)
            titles << popUp->itemText(i);
        return titles;
    }

    QVariant selectedItemData() { return find<QComboBox>("microphonePopUpButton")->currentData(); }

    // Chooses a pop-up item as the user does: the action follows the choice.
    void choose(int index)
    {
        auto* popUp = find<QComboBox>("microphonePopUpButton");
        popUp->setCurrentIndex(index);
        emit popUp->activated(index);
    }

    void toggleManualGain() { find<QCheckBox>("manualGainButton")->click(); }

    std::size_t deviceStarts() { return calls(SimulatedCall::startDevice).size(); }

    std::shared_ptr<VLMAudioRouter> router;
    std::shared_ptr<VLMMainViewController> controller;
    VLMFlippedView* view = nullptr;
    std::vector<double> reportedHeights;
};

// MARK: Layout

// Counts an object's timer events.
struct TimerEvents : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::Timer;
        return false;
    }
};

class VLMMainViewLayoutTest : public VLMMainViewControllerTest,
                              public testing::WithParamInterface<std::tuple<VLMAudioRouterStatus, bool>> {};

// Each state at the height the view asks the window for, with a device name
// long enough to widen the pop-up past its row.
TEST_P(VLMMainViewLayoutTest, EveryControlHasItsOwnPlaceInsideTheView)
{
    const auto& [status, manualGain] = GetParam();
    NSUserDefaults::standardUserDefaults().setBool(manualGain, VLMMainViewController::manualGainAdjustmentKey);
    makeController();
    system->setDefaultInputDevice(
        addMicrophone("long", "Family 17h/19h HD Audio Controller Analog Stereo Microphones"));
    router->refreshMicrophones();
    apply(status);
    const double height = controller->preferredContentHeight();
    layOut(static_cast<int>(VLMMainViewLayout::contentWidth), static_cast<int>(height));
    // QComboBox resizes itself to its items on a timer of its list's container.
    auto* popUp = find<QComboBox>("microphonePopUpButton");
    TimerEvents timers;
    popUp->view()->parentWidget()->installEventFilter(&timers);
    ASSERT_TRUE(runMainQueueUntil([&] { return timers.count > 0; }));
    ASSERT_GT(popUp->sizeHint().width(), view->width());

    // The backgrounds lie behind the controls; the controls never overlap.
    const QStringList backgrounds{QStringLiteral("topBackgroundView"), QStringLiteral("sourcesMaterialView"),
                                  QStringLiteral("instructionsContainer")};
    std::vector<QWidget*> controls;
    for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!child->isVisibleTo(view))
            continue;
        EXPECT_TRUE(view->rect().contains(child->geometry())) << qPrintable(child->objectName());
        if (!backgrounds.contains(child->objectName()))
            controls.push_back(child);
    }
    for (std::size_t i = 0; i < controls.size(); ++i)
        for (std::size_t j = i + 1; j < controls.size(); ++j)
            EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
                << qPrintable(controls[i]->objectName()) << " and " << qPrintable(controls[j]->objectName());
    EXPECT_EQ(popUp->height(), VLMMainViewLayout::popUpRowHeight);

    // The checkbox is centred in the last row.
    EXPECT_NEAR(middle(frame("manualGainButton")) + VLMMainViewLayout::manualGainRowHeight / 2 +
                    VLMMainViewLayout::bottomMargin,
                height, 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, VLMMainViewLayoutTest,
    testing::Combine(testing::Values(VLMAudioRouterStatus::starting(), VLMAudioRouterStatus::ready(),
                                     VLMAudioRouterStatus::driverMissing(),
                                     VLMAudioRouterStatus::failed("The selected microphone is no longer available.")),
                     testing::Bool()),
    [](const auto& info) {
        const Kind kind = std::get<0>(info.param).kind();
        const char* name = kind == Kind::starting        ? "starting"
                           : kind == Kind::ready         ? "ready"
                           : kind == Kind::driverMissing ? "driverMissing"
                                                         : "failed";
        return std::string(name) + (std::get<1>(info.param) ? "_manualGain" : "");
    });

// MARK: Status

struct StatusRow {
    VLMAudioRouterStatus status;
    QString text;
    bool spinner;
    QString buttonTitle;  // empty: hidden
};

void PrintTo(const StatusRow& row, std::ostream* out)
{
    *out << row.text.toStdString();
}

class VLMMainViewStatusTest : public VLMMainViewControllerTest, public testing::WithParamInterface<StatusRow> {};

TEST_P(VLMMainViewStatusTest, ShowsTheRowOfItsStatus)
{
    const StatusRow& row = GetParam();
    makeController();
    apply(row.status);

    auto* spinner = find<VLMProgressIndicator>("statusProgressIndicator");
    EXPECT_EQ(find<QLabel>("statusLabel")->text(), row.text);
    EXPECT_EQ(!spinner->isHidden(), row.spinner);
    EXPECT_EQ(spinner->isAnimating(), row.spinner);
    const bool problem = !row.buttonTitle.isEmpty();
    EXPECT_EQ(!find("statusImageView")->isHidden(), problem);
    EXPECT_EQ(find("statusLabel")->isHidden(), row.status.kind() == Kind::ready);
    EXPECT_EQ(!find("statusButton")->isHidden(), problem);
    if (problem) {
        EXPECT_EQ(find<QPushButton>("statusButton")->text(), row.buttonTitle);
    }
    EXPECT_EQ(controller->audioIsReady(), row.status.kind() == Kind::ready);

    if (problem) {
        ASSERT_EQ(announcements.size(), 1u);
        EXPECT_EQ(announcements[0].element, find("statusLabel"));
        EXPECT_EQ(announcements[0].text, row.text);
        EXPECT_EQ(announcements[0].priority, AccessibilityPriority::high);
    } else {
        EXPECT_TRUE(announcements.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStatus, VLMMainViewStatusTest,
    testing::Values(StatusRow{VLMAudioRouterStatus::starting(), QStringLiteral("Starting audio…"), true, {}},
                    StatusRow{VLMAudioRouterStatus::ready(), QStringLiteral("Audio device ready"), false, {}},
                    StatusRow{VLMAudioRouterStatus::driverMissing(), QStringLiteral("Audio device not installed"),
                              false, QStringLiteral("Download Installer")},
                    StatusRow{VLMAudioRouterStatus::microphonePermissionDenied(),
                              QStringLiteral("Microphone access is off"), false,
                              QStringLiteral("Open Microphone Settings")},
                    StatusRow{VLMAudioRouterStatus::failed("The engine stopped."), QStringLiteral("The engine stopped."),
                              false, QStringLiteral("Try Again")}),
    [](const testing::TestParamInfo<StatusRow>& info) {
        switch (info.param.status.kind()) {
        case Kind::starting: return "starting";
        case Kind::ready: return "ready";
        case Kind::driverMissing: return "driverMissing";
        case Kind::microphonePermissionDenied: return "microphonePermissionDenied";
        case Kind::failed: return "failed";
        }
        return "unknown";
    });

TEST_F(VLMMainViewControllerTest, TheSameFailureTwiceIsAnnouncedTwice)
{
    makeController();
    apply(VLMAudioRouterStatus::failed("No route."));
    apply(VLMAudioRouterStatus::failed("No route."));
    EXPECT_EQ(announcements.size(), 2u);
    EXPECT_EQ(reportedHeights, (std::vector<double>{530, 530}));
}

TEST_F(VLMMainViewControllerTest, AProblemAfterReadyShowsTheRowAgain)
{
    makeController();
    apply(VLMAudioRouterStatus::ready());
    EXPECT_TRUE(find("statusButton")->isHidden());
    apply(VLMAudioRouterStatus::microphonePermissionDenied());
    EXPECT_FALSE(find("statusImageView")->isHidden());
    EXPECT_FALSE(find("statusLabel")->isHidden());
    EXPECT_EQ(find<QPushButton>("statusButton")->text(), QStringLiteral("Open Microphone Settings"));
}

TEST_F(VLMMainViewControllerTest, TheFirstFrameShowsStartingWhateverTheRouterSays)
{
    router = makeRouter();
    router->start();
    ASSERT_EQ(router->status().kind(), Kind::ready);
    controller = VLMMainViewController::create(router);
    view = controller->view();
    EXPECT_EQ(find<QLabel>("statusLabel")->text(), QStringLiteral("Starting audio…"));
    EXPECT_EQ(controller->currentStatus(), VLMAudioRouterStatus::starting());
}

TEST_F(VLMMainViewControllerTest, RecoveryOpensTheProductPageOrTheSettingsOrStartsAgain)
{
    makeController();
    auto* button = find<QPushButton>("statusButton");

    apply(VLMAudioRouterStatus::driverMissing());
    button->click();
    apply(VLMAudioRouterStatus::microphonePermissionDenied());
    button->click();
    EXPECT_THAT(openedURLs, ElementsAre(QUrl(VLMProductWebPageURLString()),
                                        QUrl(QString::fromLatin1(VLMMicrophonePrivacySettingsURLString))));

    router->delegate = controller;
    apply(VLMAudioRouterStatus::failed("Broken."));
    button->click();
    EXPECT_EQ(controller->currentStatus(), VLMAudioRouterStatus::ready()) << "Try Again starts the router";
    EXPECT_GT(deviceStarts(), 0u);

    const std::size_t starts = deviceStarts();
    apply(VLMAudioRouterStatus::starting());
    controller->statusRecoveryRequested(button);
    apply(VLMAudioRouterStatus::ready());
    controller->statusRecoveryRequested(button);
    EXPECT_EQ(openedURLs.size(), 2u);
    EXPECT_EQ(deviceStarts(), starts);
}

// MARK: Microphone pop-up

TEST_F(VLMMainViewControllerTest, FollowingTheDefaultSelectsTheSystemDefaultItem)
{
    addMicrophone("usb", "USB Microphone");
    makeController();
    router->refreshMicrophones();

    EXPECT_EQ(popUpTitles(), (QStringList{QStringLiteral("System Default — Built-in Microphone"), QString(),
                                          QStringLiteral("Built-in Microphone"), QStringLiteral("USB Microphone")}));
    EXPECT_EQ(selectedItemData().toString(), QStringLiteral("VLMSystemDefaultMicrophone"));
    EXPECT_TRUE(find("microphonePopUpButton")->isEnabled());
}

TEST_F(VLMMainViewControllerTest, NoMicrophonesLeaveTheMenuEmptyAndDisabled)
{
    system->removeDevice(builtInMicrophone);
    makeController();
    router->refreshMicrophones();

    auto* popUp = find<QComboBox>("microphonePopUpButton");
    EXPECT_EQ(popUp->count(), 0);
    EXPECT_EQ(popUp->currentIndex(), -1);
    EXPECT_FALSE(popUp->isEnabled());
}

TEST_F(VLMMainViewControllerTest, ADefaultThatIsNotListedGivesNoSystemDefaultItem)
{
    addMicrophone("usb", "USB Microphone");
    system->setDefaultInputDevice(virtualDevice);
    makeController();
    router->refreshMicrophones();

    EXPECT_EQ(popUpTitles(),
              (QStringList{QStringLiteral("Built-in Microphone"), QStringLiteral("USB Microphone")}));
    EXPECT_EQ(find<QComboBox>("microphonePopUpButton")->currentIndex(), 0);
}

TEST_F(VLMMainViewControllerTest, DevicesOfTheSameNameAreToldApartByUID)
{
    addMicrophone("usb-a", "USB Microphone");
    addMicrophone("usb-b", "USB Microphone");
    makeController();
    router->start();

    EXPECT_EQ(popUpTitles().count(QStringLiteral("USB Microphone")), 2);
    choose(popUpTitles().lastIndexOf(QStringLiteral("USB Microphone")));
    EXPECT_EQ(router->selectedMicrophoneUID(), std::optional<std::string>("usb-b"));
    EXPECT_EQ(selectedItemData().toString(), QStringLiteral("usb-b"));
}

// The default that is already followed, then the device in use picked by
// name: neither restarts the running graph.
TEST_F(VLMMainViewControllerTest, ChoosingTheMicrophoneInUseStartsNothing)
{
    makeController();
    router->start();
    ASSERT_EQ(selectedItemData().toString(), QStringLiteral("VLMSystemDefaultMicrophone"));
    const std::size_t starts = deviceStarts();
    reportedHeights.clear();

    choose(0);
    EXPECT_EQ(deviceStarts(), starts);
    EXPECT_TRUE(reportedHeights.empty()) << "no status was announced";

    choose(popUpTitles().indexOf(QStringLiteral("Built-in Microphone")));
    EXPECT_FALSE(router->usesSystemDefaultMicrophone());
    EXPECT_EQ(selectedItemData().toString(), QStringLiteral("built-in")) << "not the System Default item";
    EXPECT_EQ(deviceStarts(), starts) << "the running graph goes on";
}

// MARK: Gains and manual gain

TEST_F(VLMMainViewControllerTest, GainLabelsRoundToWholePercent)
{
    NSUserDefaults::standardUserDefaults().setBool(true, VLMMainViewController::manualGainAdjustmentKey);
    makeController();
    auto* slider = find<VLMGradientSliderCell>("microphoneSlider");
    auto* label = find<QLabel>("microphoneGainValueLabel");
    for (const auto& [value, text] : {std::pair{0.0, "0%"}, {0.125, "13%"}, {0.8, "80%"}, {1.0, "100%"}}) {
        slider->setDoubleValue(value);
        controller->microphoneVolumeChanged(slider);
        EXPECT_EQ(label->text(), QString::fromLatin1(text)) << value;
        EXPECT_EQ(router->microphoneVolume(), static_cast<float>(value));
    }
    EXPECT_EQ(NSUserDefaults::standardUserDefaults().floatForKey("VLMMicrophoneVolume"), 1.0f);
}

TEST_F(VLMMainViewControllerTest, DraggingASliderSetsItsGain)
{
    NSUserDefaults::standardUserDefaults().setBool(true, VLMMainViewController::manualGainAdjustmentKey);
    makeController();
    auto* slider = find<VLMGradientSliderCell>("velmoraSlider");
    slider->setSliderPosition(slider->maximum() / 4);  // as a drag does, step by step
    EXPECT_FLOAT_EQ(router->velmoraVolume(), 0.25f);
    EXPECT_EQ(find<QLabel>("velmoraGainValueLabel")->text(), QStringLiteral("25%"));
}

TEST_F(VLMMainViewControllerTest, ResetSetsBothGainsBackAndKeepsTheCheckbox)
{
    NSUserDefaults::standardUserDefaults().setBool(true, VLMMainViewController::manualGainAdjustmentKey);
    makeController();
    router->setMicrophoneVolume(0.3f);
    router->setVelmoraVolume(1.0f);

    find<QPushButton>("resetGainButton")->click();
    EXPECT_EQ(router->microphoneVolume(), 0.8f);
    EXPECT_EQ(router->velmoraVolume(), 0.8f);
    EXPECT_EQ(find<VLMGradientSliderCell>("microphoneSlider")->doubleValue(), 0.8);
    EXPECT_EQ(find<QLabel>("microphoneGainValueLabel")->text(), QStringLiteral("80%"));
    EXPECT_EQ(find<QLabel>("velmoraGainValueLabel")->text(), QStringLiteral("80%"));
    EXPECT_TRUE(find<QCheckBox>("manualGainButton")->isChecked());
}

TEST_F(VLMMainViewControllerTest, TheCheckboxMovesTheContentBetween496And560)
{
    makeController();
    apply(VLMAudioRouterStatus::ready());
    reportedHeights.clear();

    toggleManualGain();
    EXPECT_EQ(controller->preferredContentHeight(), 560);
    EXPECT_TRUE(NSUserDefaults::standardUserDefaults().boolForKey(VLMMainViewController::manualGainAdjustmentKey));
    EXPECT_FALSE(find("velmoraSlider")->isHidden());
    EXPECT_TRUE(find("velmoraSlider")->isEnabled());
    toggleManualGain();
    EXPECT_EQ(controller->preferredContentHeight(), 496);
    EXPECT_TRUE(find("velmoraSlider")->isHidden());
    EXPECT_EQ(reportedHeights, (std::vector<double>{560, 496}));
}

TEST_F(VLMMainViewControllerTest, WithoutManualGainOpensShortAndTheHeightFollowsStatusAndCheckbox)
{
    makeController();
    EXPECT_EQ(controller->preferredContentHeight(), 530);
    EXPECT_EQ(view->height(), 530);
    EXPECT_TRUE(find("microphoneSlider")->isHidden());
    EXPECT_TRUE(find("resetGainButton")->isHidden());
    apply(VLMAudioRouterStatus::failed("x"));
    EXPECT_EQ(controller->preferredContentHeight(), 530);
    toggleManualGain();
    EXPECT_EQ(controller->preferredContentHeight(), 594);
    apply(VLMAudioRouterStatus::ready());
    EXPECT_EQ(controller->preferredContentHeight(), 560);
}

TEST_F(VLMMainViewControllerTest, StoredManualGainOpensTallWithDisabledSliders)
{
    NSUserDefaults::standardUserDefaults().setBool(true, VLMMainViewController::manualGainAdjustmentKey);
    makeController();

    EXPECT_EQ(view->height(), 594);
    EXPECT_TRUE(find<QCheckBox>("manualGainButton")->isChecked());
    for (const char* name : {"microphoneSlider", "microphoneGainValueLabel", "velmoraSlider", "velmoraGainValueLabel",
                             "resetGainButton"})
        EXPECT_FALSE(find(name)->isHidden()) << name;
    EXPECT_FALSE(find("microphoneSlider")->isEnabled()) << "until the audio is ready";
    EXPECT_FALSE(find("velmoraSlider")->isEnabled());
    EXPECT_TRUE(find("resetGainButton")->isEnabled());
}

TEST_F(VLMMainViewControllerTest, SlidersAndLabelsShowTheStoredGains)
{
    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    defaults.setInteger(1, "VLMGainDefaultsVersion");
    defaults.setFloat(0.5f, "VLMMicrophoneVolume");
    defaults.setFloat(1.0f, "VLMVelmoraVolume");
    makeController();

    EXPECT_EQ(find<VLMGradientSliderCell>("microphoneSlider")->doubleValue(), 0.5);
    EXPECT_EQ(find<VLMGradientSliderCell>("velmoraSlider")->doubleValue(), 1.0);
    EXPECT_EQ(find<QLabel>("microphoneGainValueLabel")->text(), QStringLiteral("50%"));
    EXPECT_EQ(find<QLabel>("velmoraGainValueLabel")->text(), QStringLiteral("100%"));
}

TEST_F(VLMMainViewControllerTest, LevelsReachTheirMeters)
{
    makeController();
    controller->audioRouter(*router, 0.5f, VLMAudioSource::microphone);
    controller->audioRouter(*router, 0.25f, VLMAudioSource::velmora);
    EXPECT_EQ(find<VLMAudioLevelMeterView>("microphoneMeter")->level(), 0.5f);
    EXPECT_EQ(find<VLMAudioLevelMeterView>("velmoraMeter")->level(), 0.25f);
}

// MARK: Accessibility

TEST_F(VLMMainViewControllerTest, AssistiveTechnologiesSeeTheControlsButNotTheDecoration)
{
    makeController();
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(view);
    ASSERT_NE(root, nullptr);
    QStringList names;
    QStringList objectNames;
    for (int i = 0; i < root->childCount(); ++i) {
        QAccessibleInterface* child = root->child(i);
        ASSERT_NE(child, nullptr);
        names << child->text(QAccessible::Name);
        objectNames << child->object()->objectName();
        EXPECT_EQ(root->indexOfChild(child), i);
    }
    EXPECT_TRUE(names.contains(QStringLiteral("Step 1. Pick your mic input below.")));
    EXPECT_TRUE(names.contains(QStringLiteral("Step 3. You're done!")));
    EXPECT_TRUE(names.contains(QStringLiteral("Microphone gain")));
    EXPECT_TRUE(names.contains(QStringLiteral("Velmora Studio gain")));
    for (const char* hidden : {"topBackgroundView", "sourcesMaterialView", "instructionsContainer",
                               "instructionImageViews[0]", "statusProgressIndicator", "statusImageView"})
        EXPECT_FALSE(objectNames.contains(QString::fromLatin1(hidden))) << hidden;
    EXPECT_TRUE(objectNames.contains(QStringLiteral("statusLabel")));

    QAccessibleInterface* meter = QAccessible::queryAccessibleInterface(find("velmoraMeter"));
    EXPECT_EQ(meter->text(QAccessible::Name), QStringLiteral("Velmora Studio level"));
    EXPECT_EQ(meter->role(), QAccessible::ProgressBar);
}

} // namespace
