// The program's entry. VLM_AUDIO_SYSTEM=simulated runs the demonstration with
// made-up devices and a music app; Tools/ProgramRun measures a headless run.

#include "VLMApplicationMain.h"

int main(int argc, char** argv)
{
    return VLMApplicationMain(argc, argv);
}
