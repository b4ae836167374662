// The desktop stand-ins under Platform/UI: symbol images, URL opening,
// announcements and the hand-over from a second instance.

#include "MainQueue.h"

#include "UI/AccessibilityAnnouncement.h"
#include "UI/SingleApplicationInstance.h"
#include "UI/SymbolImage.h"
#include "UI/WorkspaceURLOpening.h"

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QUuid>

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

// MARK: Symbols

struct Coverage {
    double fraction;  // of the square's pixels that are painted
    QRect bounds;     // of the painted pixels
};

Coverage coverage(const QImage& image)
{
    int painted = 0;
    QRect bounds;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 0) {
                ++painted;
                bounds |= QRect(x, y, 1, 1);
            }
    return {painted / static_cast<double>(image.width() * image.height()), bounds};
}

TEST(SymbolImageTest, DrawsEveryNamedSymbolAndNothingElse)
{
    for (const QString& name : SymbolImage::availableNames()) {
        const std::optional<SymbolImage> symbol = SymbolImage::systemSymbol(name, QStringLiteral("Label"));
        ASSERT_TRUE(symbol.has_value()) << qPrintable(name);
        EXPECT_EQ(symbol->accessibilityDescription(), QStringLiteral("Label"));
        for (int side : {16, 17, 32}) {
            QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            symbol->paint(painter, QRectF(0, 0, side, side), Qt::black);
            painter.end();
            const Coverage covered = coverage(image);
            EXPECT_GT(covered.fraction, 0.15) << qPrintable(name) << " at " << side;
            EXPECT_LT(covered.fraction, 0.9) << qPrintable(name) << " has its cut-outs at " << side;
            EXPECT_GE(covered.bounds.width(), side * 0.85) << qPrintable(name) << " fills its square";
        }
    }
    EXPECT_FALSE(SymbolImage::systemSymbol(QStringLiteral("4.circle.fill")).has_value());
    EXPECT_FALSE(SymbolImage::systemSymbol(QStringLiteral("gear")).has_value());
}

TEST(SymbolImageTest, IconsAreDrawnForTheirPixelRatioAndTemplatesTakeTheTextColour)
{
    std::optional<SymbolImage> symbol = SymbolImage::systemSymbol(QStringLiteral("checkmark.circle.fill"));
    ASSERT_TRUE(symbol);
    const QIcon tinted = symbol->icon(QColor(255, 0, 0));
    EXPECT_EQ(tinted.name(), QStringLiteral("checkmark.circle.fill"));
    const QPixmap doubled = tinted.pixmap(QSize(16, 16), 2.0);
    EXPECT_EQ(doubled.size(), QSize(32, 32)) << "drawn at device pixels, not scaled up";
    EXPECT_EQ(doubled.devicePixelRatio(), 2.0);
    EXPECT_EQ(doubled.toImage().pixelColor(4, 16).red(), 255);

    symbol->setTemplate(true);
    const QImage templated = symbol->icon(QColor(255, 0, 0)).pixmap(QSize(32, 32), 1.0).toImage();
    const QColor text = QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText);
    EXPECT_EQ(templated.pixelColor(3, 16).rgb(), text.rgb()) << "a template ignores the tint";
}

// MARK: Second instance

TEST(SingleApplicationInstanceTest, ALaterInstanceHandsItsArgumentsOver)
{
    const QString name = QStringLiteral("vlm-test-") + QUuid::createUuid().toString(QUuid::Id128);
    SingleApplicationInstance running(name);
    ASSERT_TRUE(running.listen());
    SingleApplicationInstance second(name);
    EXPECT_FALSE(second.listen()) << "one instance listens per name";

    std::vector<QStringList> received;
    QObject::connect(&running, &SingleApplicationInstance::argumentsReceived,
                     [&](const QStringList& arguments) { received.push_back(arguments); });

    // The later instance is another process; here another thread, which
    // blocks as that process does while the running one answers.
    for (const QStringList& arguments : {QStringList{QStringLiteral("velmora-studio-connect://open")}, QStringList{}}) {
        auto sent = std::async(std::launch::async, [&] {
            return SingleApplicationInstance::sendToRunningInstance(name, arguments);
        });
        const std::size_t before = received.size();
        ASSERT_TRUE(runMainQueueUntil([&] { return received.size() > before; }));
        EXPECT_TRUE(sent.get());
        EXPECT_EQ(received.back(), arguments);
    }
}

TEST(SingleApplicationInstanceTest, NobodyAnswersWhenNoInstanceRuns)
{
    const QString name = QStringLiteral("vlm-test-") + QUuid::createUuid().toString(QUuid::Id128);
    EXPECT_FALSE(SingleApplicationInstance::sendToRunningInstance(name, {QStringLiteral("x")}, 200));
    SingleApplicationInstance first(name);
    EXPECT_TRUE(first.listen());
}

} // namespace
