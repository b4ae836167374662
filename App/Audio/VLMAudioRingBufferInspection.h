#pragma once
// Read-only views of a ring buffer's state, for tests and diagnostics. Not
// meant for the audio paths.

#include "VLMAudioRingBuffer.h"

#include <cstdint>

// Frames written since creation or the last reset.
std::uint64_t VLMAudioRingBufferFramesWritten(const VLMAudioRingBuffer* ringBuffer);

// Frames consumed or pushed out since creation or the last reset.
std::uint64_t VLMAudioRingBufferFramesRead(const VLMAudioRingBuffer* ringBuffer);
