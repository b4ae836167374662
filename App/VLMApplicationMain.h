#pragma once
// The process entry behind main(): the application object, the one instance
// per user, the audio system, the application delegate and the event loop.

#include <functional>

class VLMAppDelegate;

// What a run other than the ordinary one adds; the program passes none.
struct VLMApplicationRun {
    // Runs beside any running instance instead of handing it the arguments.
    bool standalone = false;
    // Called once launching has finished and the window is up; anything it
    // creates should be a child of the delegate, which outlives the event loop.
    std::function<void(VLMAppDelegate&)> didFinishLaunching;
};

int VLMApplicationMain(int argc, char** argv, const VLMApplicationRun& run = {});
