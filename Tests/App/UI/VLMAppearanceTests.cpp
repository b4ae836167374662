#include "UITest.h"

#include "DarkPalette.h"
#include "MainQueue.h"
#include "VLMMainViewController.h"
#include "VLMMainWindowController.h"
#include "VLMThemeColors.h"

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>

#include <map>

namespace {

using VLMThemeColors::contrastRatio;

// Everything a user sees, measured on the window's own pixels at twice the
// density: each text against the colour most of its area shows.
class VLMAppearanceTest : public UITest {
protected:
    void SetUp() override
    {
        router = makeRouter();
        windowController = std::make_unique<VLMMainWindowController>(router);
        window = windowController->window();
        router->refreshMicrophones();
        windowController->showWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
        ASSERT_TRUE(moveToScreen(window, QStringLiteral("hidpi")));
        control<QCheckBox>(window, "manualGainButton")->click();
        windowController->mainViewController().audioRouter(*router, VLMAudioRouterStatus::ready());
        windowController->mainViewController().audioRouter(
            *router, VLMAudioRouterStatus::failed("The selected microphone is no longer available."));
        ASSERT_TRUE(runMainQueueUntil([&] { return window->size() == window->maximumSize(); }));
    }

    void TearDown() override { QApplication::setPalette(original); }

    QRect deviceRect(QWidget* widget) const
    {
        const QRect rect(widget->mapTo(window, QPoint(0, 0)), widget->size());
        return QRect(rect.topLeft() * 2, rect.size() * 2);
    }

    static QColor dominant(const QImage& image, const QRect& rect)
    {
        std::map<QRgb, int> counts;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                ++counts[image.pixel(x, y)];
        return QColor::fromRgb(std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                                   return a.second < b.second;
                               })->first);
    }

    // The strongest contrast any pixel of `rect` makes with `background`.
    static double strongest(const QImage& image, const QRect& rect, const QColor& background)
    {
        double best = 1;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                best = std::max(best, contrastRatio(QColor::fromRgb(image.pixel(x, y)), background));
        return best;
    }

    QImage picture()
    {
        drainMainQueue();
        QCoreApplication::sendPostedEvents();
        QImage image = window->grab().toImage();
        EXPECT_EQ(image.width(), window->width() * 2);
        return image;
    }

    void expectEverythingReads(const char* appearance)
    {
        const QImage image = picture();
        for (QLabel* label : window->findChildren<QLabel*>()) {
            if (!label->isVisible() || label->text().isEmpty())
                continue;
            const QRect rect = deviceRect(label);
            EXPECT_GE(strongest(image, rect, dominant(image, rect)), VLMThemeColors::textContrast)
                << appearance << ": " << qPrintable(label->objectName());
        }
        for (int i = 0; i < 3; ++i) {
            const QRect badge = deviceRect(control<QWidget>(window, qPrintable(QStringLiteral("instructionImageViews[%1]").arg(i))));
            const QColor card = QColor::fromRgb(image.pixel(badge.left() - 2, badge.center().y()));
            EXPECT_GE(strongest(image, badge, card), VLMThemeColors::graphicsContrast) << appearance << ": step " << i + 1;
        }

        auto* checkbox = control<QCheckBox>(window, "manualGainButton");
        QStyleOptionButton option;
        option.initFrom(checkbox);
        const QRect box = checkbox->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, checkbox)
                              .translated(checkbox->mapTo(window, QPoint(0, 0)));
        checkbox->setChecked(false);
        const QImage unchecked = picture();
        const QRect device(box.topLeft() * 2, box.size() * 2);
        const QColor around = QColor::fromRgb(unchecked.pixel(device.left() - 3, device.center().y()));
        EXPECT_GE(strongest(unchecked, device, around), VLMThemeColors::graphicsContrast)
            << appearance << ": the unchecked box";
        checkbox->setChecked(true);

        auto* reset = control<QPushButton>(window, "resetGainButton");
        const QRect button = deviceRect(reset);
        const int x = button.center().x();
        const QColor border = QColor::fromRgb(image.pixel(x, button.top()));
        const QColor backdrop = QColor::fromRgb(image.pixel(button.left() + 1, button.center().y()));
        const QColor fill = QColor::fromRgb(image.pixel(button.left() + 12, button.top() + 8));
        EXPECT_GE(contrastRatio(border, backdrop), VLMThemeColors::graphicsContrast) << appearance << ": border";
        EXPECT_GE(contrastRatio(border, fill), VLMThemeColors::graphicsContrast) << appearance << ": border on fill";

        const QRect popUp = deviceRect(control<QWidget>(window, "microphonePopUpButton"));
        const QColor beside = QColor::fromRgb(image.pixel(popUp.left() - 3, popUp.center().y()));
        EXPECT_GE(strongest(image, QRect(popUp.left(), popUp.center().y(), 3, 1), beside),
                  VLMThemeColors::graphicsContrast)
            << appearance << ": the pop-up's edge";

        // Above its track, a slider shows only its knob over the backdrop.
        windowController->mainViewController().audioRouter(*router, VLMAudioRouterStatus::ready());
        const QImage ready = picture();
        const QRect slider = deviceRect(control<QWidget>(window, "microphoneSlider"));
        const QColor under = QColor::fromRgb(ready.pixel(slider.left() + 1, slider.top() + 1));
        EXPECT_GE(strongest(ready, QRect(slider.left(), slider.top(), slider.width(), slider.height() / 4), under),
                  VLMThemeColors::graphicsContrast)
            << appearance << ": the slider's knob";
        windowController->mainViewController().audioRouter(*router, VLMAudioRouterStatus::failed("Again."));

        reset->setFocus(Qt::TabFocusReason);
        const QImage focused = picture();
        const QColor ring = QColor::fromRgb(focused.pixel(x, button.top() + 3));
        EXPECT_GE(contrastRatio(ring, QColor::fromRgb(image.pixel(x, button.top() + 3))),
                  VLMThemeColors::graphicsContrast)
            << appearance << ": focus shows";
        reset->clearFocus();
    }

    std::shared_ptr<VLMAudioRouter> router;
    std::unique_ptr<VLMMainWindowController> windowController;
    QMainWindow* window = nullptr;
    const QPalette original = QApplication::palette();
};

TEST_F(VLMAppearanceTest, EveryTextAndControlReadsInLightThenAfterLiveSwitchesToDarkAndBack)
{
    expectEverythingReads("light");
    const QColor lightText = control<QLabel>(window, "microphoneLabel")->palette().color(QPalette::WindowText);

    QApplication::setPalette(darkPalette());
    expectEverythingReads("dark");
    EXPECT_GT(control<QLabel>(window, "microphoneLabel")->palette().color(QPalette::WindowText).lightness(), 200)
        << "the text became light at once, with no restart";
    EXPECT_GT(VLMThemeColors::purple().lightness(), QColor(0x54, 0x13, 0x88).lightness())
        << "the meters' low end is lifted off the dark window";

    QApplication::setPalette(original);
    expectEverythingReads("light again");
    EXPECT_EQ(control<QLabel>(window, "microphoneLabel")->palette().color(QPalette::WindowText), lightText);
    EXPECT_EQ(VLMThemeColors::purple(), QColor::fromRgbF(84 / 255.0f, 19 / 255.0f, 136 / 255.0f));
}

TEST(VLMThemeColorsTest, LegibleColoursChangeAsLittleAsTheyMust)
{
    using VLMThemeColors::legibleOn;
    const QColor white(Qt::white);
    EXPECT_EQ(legibleOn(Qt::black, white, 4.5), QColor(Qt::black)) << "what reads stays";
    QColor grey(0, 0, 0);
    grey.setAlphaF(0.5f);
    const QColor stronger = legibleOn(grey, white, 4.5);
    EXPECT_EQ(stronger.rgb() & 0xffffff, 0u) << "a translucent text gains opacity, not another hue";
    EXPECT_GE(contrastRatio(stronger, white), 4.5);
    EXPECT_LT(contrastRatio(stronger, white), 4.7);
    const QColor teal = legibleOn(QColor(11, 234, 173), white, 3.0);
    EXPECT_GE(contrastRatio(teal, white), 3.0);
    EXPECT_LT(contrastRatio(teal, white), 3.1);
    EXPECT_GT(teal.green(), teal.blue()) << "still teal";
    const QColor lifted = legibleOn(QColor(84, 19, 136), QColor(0x31, 0x36, 0x3b), 3.0);
    EXPECT_GT(lifted.lightness(), QColor(84, 19, 136).lightness()) << "on dark, toward white";
}

} // namespace
