#pragma once
// Starting the program when the user logs in: an XDG autostart entry named
// after the program's desktop entry, in $XDG_CONFIG_HOME/autostart. The
// program has no command line, so the entry's Exec marks the start in the
// environment ("env VLM_STARTED_AT_LOGIN=1 <program>"), which every desktop
// that starts autostart entries passes on as written.

#include <QString>

namespace VLMLoginItem {

// Where the entry is, whether or not it exists.
QString entryPath();

// Whether the session will start the program at login: the entry exists and
// is not switched off (Hidden, X-GNOME-Autostart-enabled=false).
bool isEnabled();

// Writes or removes the entry. False, with `error` set, when it could not.
bool setEnabled(bool enabled, QString* error = nullptr);

// Whether the session started this process at login. Takes the mark out of
// the environment, so programs started from here are not taken for it; call
// it once, early.
bool takeStartedAtLoginMark();

} // namespace VLMLoginItem
