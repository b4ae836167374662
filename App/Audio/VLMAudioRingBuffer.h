#pragma once
// A fixed ring of stereo float frames that carries live audio from one
// capture callback (the producer) to one render callback (the consumer).
//
// Write folds whatever channel layout the device delivers into left and
// right; Read fills the engine's buffers and pads with silence when too
// little has arrived. A producer that runs ahead overwrites the oldest
// frames. Write and Read never block, lock, allocate or throw, and may run
// concurrently with each other (one producer thread, one consumer thread).
// Create, Reset and Destroy must not overlap with Write or Read.
//
// Caller limits: capacity below 2^31 frames; every input buffer with
// non-null data holds at least `frames` frames of its own channel count;
// every output buffer written holds at least `frames` frames of the layout
// VLMAudioRingBufferSetOutputSamples writes; sample indices fit in 32 bits.

#include "AudioHardware/CoreAudioTypes.h"

#include <cstdint>

struct VLMAudioRingBuffer;

// A new, silent ring of `capacity` frames, or null when capacity is 0 or
// 2^31 or more, or when memory runs out.
VLMAudioRingBuffer* VLMAudioRingBufferCreate(std::uint32_t capacity);

// Frees the ring; null does nothing.
void VLMAudioRingBufferDestroy(VLMAudioRingBuffer* ringBuffer);

// Empties the ring and silences its storage; null does nothing.
void VLMAudioRingBufferReset(VLMAudioRingBuffer* ringBuffer);

// Producer side. Down-mixes `frames` frames of `input` to stereo and appends
// them (only the last `capacity` of them when more are given). Even global
// channel numbers (counted across the buffers, a null buffer's channels
// included) average into left, odd ones into right; without any right
// channel, right repeats left.
void VLMAudioRingBufferWrite(VLMAudioRingBuffer* ringBuffer, const AudioBufferList* input, std::uint32_t frames);

// Consumer side. Delivers up to `frames` of the oldest frames into `output`
// and pads the rest of the request with silence.
void VLMAudioRingBufferRead(VLMAudioRingBuffer* ringBuffer, AudioBufferList* output, std::uint32_t frames);

// Consumer side. The frames a Read could deliver now (never more than the
// capacity).
std::uint32_t VLMAudioRingBufferAvailableFrames(const VLMAudioRingBuffer* ringBuffer);

// Consumer side. Consumes up to `frames` of the oldest frames without
// delivering them, as a Read would; with fewer available, consumes those.
void VLMAudioRingBufferSkip(VLMAudioRingBuffer* ringBuffer, std::uint32_t frames);

// Stores one stereo frame as frame `frameIndex` of `output`: interleaved
// into buffer 0 when it has two or more channels, otherwise left into
// buffer 0 and right into buffer 1 (when present). Nothing happens without
// a buffer 0 holding data.
void VLMAudioRingBufferSetOutputSamples(AudioBufferList* output, std::uint32_t frameIndex, float left, float right);
