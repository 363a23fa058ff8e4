#pragma once

#include "TevoExport.h"

namespace SoundTools {

/// Centre and width of the band [lowFreq, highFreq], the width quantised to
/// steps of 15/4096 octave (0.003662109375) and taken at the middle of its
/// step: widthOctaves = (k + 0.5) * step for the largest k with 2^(k step) <=
/// highFreq / lowFreq (k in 0 .. 4095), centreFreq = 2^(widthOctaves / 2) *
/// lowFreq. A band with highFreq < lowFreq gets the smallest width, half a
/// step; ratios beyond 2^15 the largest, 14.998 octaves. Thread-safe.
TEVO_EXPORT void get_fco(double lowFreq, double highFreq, double& centreFreq, double& widthOctaves);

} // namespace SoundTools
