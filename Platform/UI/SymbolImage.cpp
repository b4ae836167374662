#include "SymbolImage.h"

#include <QFont>
#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPalette>
#include <QPixmap>
#include <QTransform>

#include <algorithm>
#include <cmath>

namespace {

// Every shape is drawn in a unit square, then scaled to the target. Path
// operations flatten curves to a fixed tolerance, so they run on a copy
// blown up a thousand times and the result is scaled back.
constexpr double operationScale = 1000;

template <class Operation>
QPainterPath atOperationScale(Operation operation, const QPainterPath& a, const QPainterPath& b = {})
{
    const QTransform up = QTransform::fromScale(operationScale, operationScale);
    const QTransform down = QTransform::fromScale(1 / operationScale, 1 / operationScale);
    return down.map(operation(up.map(a), up.map(b)));
}

QPainterPath subtracted(const QPainterPath& a, const QPainterPath& b)
{
    return atOperationScale([](const QPainterPath& x, const QPainterPath& y) { return x.subtracted(y); }, a, b);
}

QPainterPath united(const QPainterPath& a, const QPainterPath& b)
{
    return atOperationScale([](const QPainterPath& x, const QPainterPath& y) { return x.united(y); }, a, b);
}

// A polygon with its corners rounded by quadratic curves of radius r.
QPainterPath roundedPolygon(const std::vector<QPointF>& points, double r)
{
    QPainterPath path;
    const std::size_t count = points.size();
    for (std::size_t i = 0; i < count; ++i) {
        const QPointF previous = points[(i + count - 1) % count];
        const QPointF corner = points[i];
        const QPointF next = points[(i + 1) % count];
        auto toward = [&](QPointF other) {
            const QPointF d = other - corner;
            const double length = std::hypot(d.x(), d.y());
            return corner + d * std::min(0.5, r / length);
        };
        const QPointF entry = toward(previous);
        const QPointF exit = toward(next);
        if (i == 0)
            path.moveTo(entry);
        else
            path.lineTo(entry);
        path.quadTo(corner, exit);
    }
    path.closeSubpath();
    return path;
}

QPainterPath strokeOutline(const QPainterPath& path, double width)
{
    return atOperationScale(
        [width](const QPainterPath& large, const QPainterPath&) {
            QPainterPathStroker stroker;
            stroker.setWidth(width * operationScale);
            stroker.setCapStyle(Qt::RoundCap);
            stroker.setJoinStyle(Qt::RoundJoin);
            return stroker.createStroke(large).simplified();
        },
        path);
}

// A bold numeral, its cap height `height`, centred on `centre`.
QPainterPath numeral(int number, QPointF centre, double height, double weight)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(100);
    font.setWeight(weight >= 0.3 ? QFont::Bold : QFont::DemiBold);
    QPainterPath text;
    text.addText(0, 0, font, QString::number(number));
    const QRectF bounds = text.boundingRect();
    const double scale = height / bounds.height();
    QTransform transform;
    transform.translate(centre.x(), centre.y());
    transform.scale(scale, scale);
    transform.translate(-bounds.center().x(), -bounds.center().y());
    return transform.map(text);
}

double strokeWidth(double weight)
{
    return 0.085 * (1.0 + std::clamp(weight, -0.8, 0.8) * 0.6);
}

QPainterPath numberCircle(int number, double weight)
{
    QPainterPath circle;
    circle.addEllipse(QPointF(0.5, 0.5), 0.48, 0.48);
    return subtracted(circle, numeral(number, QPointF(0.5, 0.5), 0.46, weight));
}

QPainterPath warningTriangle(double weight)
{
    QPainterPath triangle = roundedPolygon({{0.5, 0.05}, {0.98, 0.92}, {0.02, 0.92}}, 0.12);
    const double barWidth = 0.1 + weight * 0.04;
    QPainterPath mark;
    mark.addRoundedRect(QRectF(0.5 - barWidth / 2, 0.32, barWidth, 0.32), barWidth / 2, barWidth / 2);
    mark.addEllipse(QPointF(0.5, 0.77), barWidth * 0.62, barWidth * 0.62);
    return subtracted(triangle, mark);
}

QPainterPath checkmarkCircle(double weight)
{
    QPainterPath circle;
    circle.addEllipse(QPointF(0.5, 0.5), 0.48, 0.48);
    QPainterPath check;
    check.moveTo(0.29, 0.52);
    check.lineTo(0.44, 0.67);
    check.lineTo(0.71, 0.35);
    return subtracted(circle, strokeOutline(check, strokeWidth(weight) * 1.15));
}

QPainterPath clock(double weight)
{
    const double width = strokeWidth(weight);
    QPainterPath ring;
    ring.addEllipse(QPointF(0.5, 0.5), 0.5 - width / 2, 0.5 - width / 2);
    QPainterPath hands;
    hands.moveTo(0.5, 0.24);
    hands.lineTo(0.5, 0.5);
    hands.lineTo(0.69, 0.62);
    return united(strokeOutline(ring, width), strokeOutline(hands, width));
}

QPainterPath speakerBubble(double weight)
{
    const double width = strokeWidth(weight) * 0.9;
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(0.05, 0.1, 0.9, 0.66), 0.2, 0.2);
    bubble = united(bubble, roundedPolygon({{0.2, 0.7}, {0.38, 0.7}, {0.16, 0.94}}, 0.03));
    QPainterPath shape = strokeOutline(bubble, width);

    QPainterPath speaker = roundedPolygon(
        {{0.22, 0.36}, {0.31, 0.36}, {0.44, 0.25}, {0.44, 0.61}, {0.31, 0.5}, {0.22, 0.5}}, 0.025);
    shape = united(shape, speaker);

    QPainterPath waves;
    const QPointF centre(0.45, 0.43);
    for (double radius : {0.12, 0.23}) {
        const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
        waves.arcMoveTo(box, 45);
        waves.arcTo(box, 45, -90);
    }
    return united(shape, strokeOutline(waves, width));
}

class SymbolIconEngine final : public QIconEngine {
public:
    SymbolIconEngine(SymbolImage image, QColor tint, QColor outline = QColor())
        : image_(std::move(image)), tint_(tint), outline_(outline)
    {
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        if (!outline_.isValid()) {
            image_.paint(*painter, rect, colour(mode));
            return;
        }
        // The outline: the symbol drawn around itself, one ring wide.
        const double ring = std::max(1.0, std::min(rect.width(), rect.height()) / 16.0);
        const QRectF glyph = QRectF(rect).adjusted(ring, ring, -ring, -ring);
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                image_.paint(*painter, glyph.translated(dx * ring, dy * ring), outline_);
        image_.paint(*painter, glyph, tint_);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QIconEngine* clone() const override { return new SymbolIconEngine(image_, tint_, outline_); }
    QString key() const override { return QStringLiteral("SymbolIconEngine"); }
    QString iconName() override { return image_.name(); }

private:
    QColor colour(QIcon::Mode mode) const
    {
        const QPalette palette = QGuiApplication::palette();
        if (mode == QIcon::Disabled)
            return palette.color(QPalette::Disabled, QPalette::WindowText);
        if (tint_.isValid() && !image_.isTemplate())
            return tint_;
        if (mode == QIcon::Selected)
            return palette.color(QPalette::Active, QPalette::HighlightedText);
        return palette.color(QPalette::Active, QPalette::WindowText);
    }

    SymbolImage image_;
    QColor tint_;
    QColor outline_;
};

} // namespace

SymbolImage::SymbolImage(QString name, QString accessibilityDescription, Kind kind, int number)
    : name_(std::move(name)), accessibilityDescription_(std::move(accessibilityDescription)), kind_(kind),
      number_(number)
{
}

std::optional<SymbolImage> SymbolImage::systemSymbol(const QString& name, const QString& accessibilityDescription)
{
    for (int number = 1; number <= 3; ++number)
        if (name == QStringLiteral("%1.circle.fill").arg(number))
            return SymbolImage(name, accessibilityDescription, Kind::numberCircle, number);
    if (name == QLatin1String("exclamationmark.triangle.fill"))
        return SymbolImage(name, accessibilityDescription, Kind::warningTriangle, 0);
    if (name == QLatin1String("checkmark.circle.fill"))
        return SymbolImage(name, accessibilityDescription, Kind::checkmarkCircle, 0);
    if (name == QLatin1String("clock"))
        return SymbolImage(name, accessibilityDescription, Kind::clock, 0);
    if (name == QLatin1String("speaker.wave.2.bubble"))
        return SymbolImage(name, accessibilityDescription, Kind::speakerBubble, 0);
    return std::nullopt;
}

QStringList SymbolImage::availableNames()
{
    return {QStringLiteral("1.circle.fill"),
            QStringLiteral("2.circle.fill"),
            QStringLiteral("3.circle.fill"),
            QStringLiteral("exclamationmark.triangle.fill"),
            QStringLiteral("checkmark.circle.fill"),
            QStringLiteral("clock"),
            QStringLiteral("speaker.wave.2.bubble")};
}

void SymbolImage::paint(QPainter& painter, const QRectF& rect, const QColor& color) const
{
    const double side = std::min(rect.width(), rect.height());
    if (side <= 0)
        return;
    // The shapes never change: each is built once per weight (main thread).
    static QHash<QString, QPainterPath> shapes;
    const QString key = name_ + QLatin1Char('@') + QString::number(weight_);
    auto cached = shapes.constFind(key);
    if (cached == shapes.constEnd()) {
        QPainterPath shape;
        switch (kind_) {
        case Kind::numberCircle: shape = numberCircle(number_, weight_); break;
        case Kind::warningTriangle: shape = warningTriangle(weight_); break;
        case Kind::checkmarkCircle: shape = checkmarkCircle(weight_); break;
        case Kind::clock: shape = clock(weight_); break;
        case Kind::speakerBubble: shape = speakerBubble(weight_); break;
        }
        cached = shapes.insert(key, shape);
    }
    const QPainterPath& shape = *cached;
    QTransform transform;
    transform.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    transform.scale(side, side);

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawPath(transform.map(shape));
    painter.restore();
}

QIcon SymbolImage::icon(const QColor& tint) const
{
    return QIcon(new SymbolIconEngine(*this, tint));
}

QIcon SymbolImage::outlinedIcon(const QColor& fill, const QColor& outline) const
{
    return QIcon(new SymbolIconEngine(*this, fill, outline));
}
