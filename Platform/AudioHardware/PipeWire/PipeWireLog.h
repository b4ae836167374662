#pragma once
// The audio backend's logging category, "vlm.audio.pipewire": errors and
// state changes, one line each, so a bug report can carry them
// (warnings by default; QT_LOGGING_RULES="vlm.audio.pipewire.info=true" adds
// the state changes).
// Never used on the data thread.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcPipeWire)
