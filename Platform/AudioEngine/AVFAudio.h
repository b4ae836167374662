#pragma once
// The audio engine: everything the program uses of it in one include.

#include "AVAudioEngine.h"
#include "AVAudioFormat.h"
#include "AVAudioNode.h"
#include "AVAudioPCMBuffer.h"
#include "AudioUnit.h"
