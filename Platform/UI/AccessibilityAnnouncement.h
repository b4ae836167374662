#pragma once
// Announcements for assistive technologies: the one call the program makes
// where the platform posts an "announcement requested" notification.
//
// Qt 6.4 has no announcement event, and its AT-SPI bridge passes nothing on
// for an Alert. What screen readers on this desktop do speak without focus
// is a notification: an object of the notification role that becomes
// showing (Orca reads its role and name, wherever the focus is). So each
// window carries one hidden element of that role, named
// "accessibilityAnnouncement"; an announcement gives it the text as its
// name and tells assistive technologies that it is showing.

#include <QString>

#include <functional>

class QObject;

enum class AccessibilityPriority {
    low = 10,
    medium = 50,
    high = 90,
};

void AccessibilityPostAnnouncement(QObject* element, const QString& announcement, AccessibilityPriority priority);

// Sees every announcement posted from now on (null stops). For tests, which
// cannot observe the accessibility bus.
using AccessibilityAnnouncementObserver =
    std::function<void(QObject* element, const QString& announcement, AccessibilityPriority priority)>;
void AccessibilitySetAnnouncementObserver(AccessibilityAnnouncementObserver observer);
