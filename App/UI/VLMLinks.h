#pragma once
// The addresses the program opens.

// The product page, which offers the virtual audio device's installer: the
// Help menu's item and the main view's "Download Installer" both open it.
inline constexpr const char* VLMProductWebPageURLString = "https://velmora.studio/connect";

// The system's microphone privacy settings.
inline constexpr const char* VLMMicrophonePrivacySettingsURLString =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";
