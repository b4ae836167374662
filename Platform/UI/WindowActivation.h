#pragma once
// Bringing a window forward for a launch. Desktops refuse to raise a window
// on a program's own say-so (focus-stealing prevention); a later start of the
// program carries the launcher's token, and the running instance presents it:
// XDG_ACTIVATION_TOKEN on Wayland, DESKTOP_STARTUP_ID on X11.

#include <QString>

class QWidget;

// This process's token from its launcher, or empty. Call it before the
// QApplication exists: Qt's X11 plugin takes DESKTOP_STARTUP_ID out of the
// environment when it connects.
QString ActivationTokenFromEnvironment();

// The token of the launch being handled; the next ActivateWindow uses it up.
void SetPendingActivationToken(const QString& token);

// Raises and activates `window`, presenting the pending token if there is one.
void ActivateWindow(QWidget* window);

// Shows `window` minimized: in the task list, not on the screen.
void ShowWindowMinimized(QWidget* window);
