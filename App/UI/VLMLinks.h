#pragma once
// The addresses the program opens.

#include <QString>

class QWidget;

// The product page, which tells how to install the virtual audio device: the
// Help menu's item and the main view's "Download Installer" both open it.
// The build option VLM_PRODUCT_PAGE_URL names it; by default it is the help
// page installed with the program, found relative to the executable so that
// the packaged, the installed and the built program each open their own.
QString VLMProductWebPageURLString();

// The system's microphone privacy settings.
inline constexpr const char* VLMMicrophonePrivacySettingsURLString =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";

// Opens the microphone privacy settings, the nearest this desktop has to them.
// Where no program for them can be opened, tells the user so in an alert in
// front of `parent`, and answers false.
bool VLMOpenMicrophoneSettings(QWidget* parent);
