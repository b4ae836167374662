#pragma once
// The IO callback that both capture sources register: it folds whatever the
// device delivers into stereo frames of one ring buffer. Runs on the device's
// real-time IO thread: no allocation, no lock, no exception.

#include "AudioHardware/AudioHardware.h"
#include "VLMAudioRingBuffer.h"

// The frames a capture list holds: bounded by every buffer that carries data,
// so no buffer is read past its byte size; 0 for a list without buffers.
std::uint32_t VLMCaptureFrameCount(const AudioBufferList* inputData);

AudioDeviceIOBlock VLMMakeCaptureIOBlock(VLMAudioRingBuffer* ringBuffer);
