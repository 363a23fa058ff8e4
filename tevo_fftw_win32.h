#pragma once

// Umbrella header of the tevo_fftw_win32 audio processing library: includes
// every public header.

// Foundation
#include "SoundTools.h"
#include "SoundDebuggableClass.h"
#include "SoundRefCounted.h"
#include "SoundBuffer.h"

// Processing graph
#include "SoundAlgo.h"

// Audio files
#include "SoundIDTag.h"
#include "SoundReader.h"
#include "SoundWriter.h"
