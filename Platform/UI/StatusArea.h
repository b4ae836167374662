#pragma once
// Whether the desktop has a status area (a system tray or a status notifier
// host) to show the program's status item in. Stock GNOME has none, and a
// panel can go away while the program runs.

#include <functional>

bool StatusAreaIsAvailable();

// Replaces the desktop's answer for every later call, so tests can choose
// it; null restores the desktop's.
void StatusAreaSetAvailability(std::function<bool()> availability);
