#include "VLMFlippedView.h"

#include <QCoreApplication>
#include <QEvent>

VLMFlippedView::VLMFlippedView(const QRect& frame, QWidget* parent) : QWidget(parent)
{
    setGeometry(frame);
}

void VLMFlippedView::setNeedsLayout()
{
    if (needsLayout_)
        return;
    needsLayout_ = true;
    QCoreApplication::postEvent(this, new QEvent(QEvent::LayoutRequest));
}

void VLMFlippedView::layoutSubtreeIfNeeded()
{
    if (needsLayout_)
        layout();
}

bool VLMFlippedView::event(QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest) {
        layoutSubtreeIfNeeded();
        return true;
    }
    return QWidget::event(event);
}

void VLMFlippedView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layout();
}

void VLMFlippedView::layout()
{
    needsLayout_ = false;
    if (layoutHandler)
        layoutHandler();
}
