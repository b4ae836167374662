#include "PipeWireLog.h"

// Warnings and above by default; info and debug on demand.
Q_LOGGING_CATEGORY(lcPipeWire, "vlm.audio.pipewire", QtWarningMsg)
