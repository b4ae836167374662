#include "VLMLabel.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>

VLMLabel::VLMLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {}

std::pair<QFont, bool> VLMLabel::fittingFont() const
{
    QFont tightened = font();
    const double available = contentsRect().width();
    for (double spacing = 0; spacing <= maximumTightening + 1e-9; spacing += 0.1) {
        tightened.setLetterSpacing(QFont::AbsoluteSpacing, -spacing);
        if (QFontMetricsF(tightened).horizontalAdvance(text()) <= available)
            return {tightened, true};
    }
    return {tightened, false};
}

bool VLMLabel::isTruncated() const
{
    if (wordWrap() || textFormat() == Qt::RichText)
        return false;
    return !fittingFont().second;
}

void VLMLabel::paintEvent(QPaintEvent* event)
{
    if (wordWrap() || textFormat() == Qt::RichText || fontMetrics().horizontalAdvance(text()) <= contentsRect().width())
        return QLabel::paintEvent(event);
    const auto [tightened, fits] = fittingFont();
    QPainter painter(this);
    painter.setFont(tightened);
    const QRect area = contentsRect();
    const QString shown = fits ? text() : QFontMetrics(tightened).elidedText(text(), Qt::ElideRight, area.width());
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(area, static_cast<int>(alignment()) | Qt::TextSingleLine, shown);
}
