#pragma once

#include "TevoExport.h"

namespace SoundTools {

/// Result of every fallible operation. The numbers cross the interface: the
/// loop and hosts compare, OR and return them as plain ints.
enum Status {
    StatusOk = 0,      ///< success; in a run: go on with the next block
    StatusError = 1,   ///< failure; the failing object holds an error text
    StatusStopped = 2, ///< the run was stopped by pleaseStop
    StatusEnd = 3      ///< the input is exhausted (block result of the last block)
};

/// Sample format of a file on disk; inside the library every sample is a double.
enum SoundFormat {
    PCM8 = 0,
    PCM16 = 1,
    PCM24 = 2,
    PCM32 = 3,
    Float32 = 4,
    Float64 = 5
};

/// One frame of an interleaved stereo buffer: exactly two consecutive values,
/// channel 0 first, so that a pointer to frame n plus one is frame n + 1.
template <typename T>
struct StereoFrame {
    T left;
    T right;
};

static_assert(sizeof(StereoFrame<double>) == 2 * sizeof(double),
              "StereoFrame<double> must map one frame of an interleaved stereo buffer");

/// ln(2) / 2: turns a band width in octaves into a filter width; set when the
/// library is loaded.
TEVO_EXPORT extern const double sLn2Half;

/// Seconds to frames, rounded to the nearest frame (floor(s * rate + 0.5)).
TEVO_EXPORT int secondsToFrames(double seconds, unsigned sampleRate);

/// Gain in dB to a linear factor (10^(dB/20)).
TEVO_EXPORT double dbToLinear(double db);

/// Linear level to dB: 20 log10(x) for x above 1e-20, -100 otherwise.
TEVO_EXPORT double linearToDb(double x);

} // namespace SoundTools
