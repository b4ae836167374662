#pragma once
// Announcements for assistive technologies: the one call the program makes
// where the platform posts an "announcement requested" notification.
//
// Qt 6.4 has no announcement event. The closest is an Alert event on the
// element, whose accessible name screen readers then read; the element is
// expected to show the announced text already (the status label does).

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
// cannot observe the Alert event without a running accessibility bus.
using AccessibilityAnnouncementObserver =
    std::function<void(QObject* element, const QString& announcement, AccessibilityPriority priority)>;
void AccessibilitySetAnnouncementObserver(AccessibilityAnnouncementObserver observer);
