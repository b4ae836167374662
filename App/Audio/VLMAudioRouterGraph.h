#pragma once
// The router's running audio graph as one owned object. Its members are
// declared in the reverse of the teardown order, so destroying it (on stop,
// or when a start fails halfway) always tears down the same way: the reader
// first (the engine stops, then goes, then its mixers), then the writers
// (the microphone capture, then the process tap), each stopping itself.

#include "VLMAudioRouter.h"

#include "AVAudioEngine.h"
#include "VLMMicrophoneCapture.h"
#include "VLMProcessTap.h"

#include <memory>

struct VLMAudioRouter::Graph {
    Graph() = default;
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;
    ~Graph()
    {
        if (engine) {
            engine->stop();
            engine->reset();
        }
    }

    std::unique_ptr<VLMProcessTap> processTap;
    std::unique_ptr<VLMMicrophoneCapture> microphoneCapture;
    std::shared_ptr<AVAudioMixerNode> microphoneMixer;
    std::shared_ptr<AVAudioMixerNode> velmoraMixer;
    std::shared_ptr<AVAudioEngine> engine;
};
