#include "AccessibilityAnnouncement.h"

#include <QAccessible>
#include <QAccessibleEvent>
#include <QObject>

namespace {

AccessibilityAnnouncementObserver& observer()
{
    static AccessibilityAnnouncementObserver instance;
    return instance;
}

} // namespace

void AccessibilityPostAnnouncement(QObject* element, const QString& announcement, AccessibilityPriority priority)
{
    if (!element)
        return;
    if (observer())
        observer()(element, announcement, priority);
    QAccessibleEvent event(element, QAccessible::Alert);
    QAccessible::updateAccessibility(&event);
}

void AccessibilitySetAnnouncementObserver(AccessibilityAnnouncementObserver newObserver)
{
    observer() = std::move(newObserver);
}
