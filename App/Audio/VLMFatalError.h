#pragma once

// Writes the message to standard error and stops the process. Only for
// failures that leave nothing able to run.
[[noreturn]] void VLMFatalError(const char* message);
