#pragma once
// What an AudioUnit handle points at: the engine whose output it chooses.

class AVAudioEngine;

struct OpaqueAudioUnit {
    AVAudioEngine* engine = nullptr;
};
