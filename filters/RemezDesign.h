#pragma once

#include "FilterType.h"
#include "TevoExport.h"

#include <vector>

namespace SoundTools {

/// Designs a linear-phase FIR filter with an even-symmetric impulse response
/// (Parks-McClellan: Remez exchange on a dense grid, then the taps from the
/// optimal response sampled at equally spaced frequencies).
///
/// Frequencies are normalised to the sample rate (0 = DC, 0.5 = half the
/// rate). `bands` holds 2 * `numband` edges in ascending order within
/// 0 .. 0.5 (lower, upper of each band); `des` the desired amplitude of each
/// band (1 pass, 0 stop); `weight` the weight of each band's error. The
/// `numtaps` taps written to `h` satisfy h[n] = h[numtaps - 1 - n]. An even
/// `numtaps` always gives 0 at 0.5, so it cannot make a filter whose last band
/// passes.
///
/// The grid has 16 points per cosine term and every band edge on it (a band
/// of zero width keeps one point). Each extremal moves to the largest error
/// next to it and the set may shift past either end, until none moves; this
/// is the exchange of the classic McClellan-Parks-Rabiner program, and the
/// taps agree with scipy.signal.remez wherever that converges. When it does
/// not settle in 250 passes, or the deviation stops growing,
/// "Reached maximum iteration count.\nResults may be bad.\n" goes to the
/// standard error stream and the taps are formed from the last extremal set:
/// callers measure the response before they use it. Returns false, with `h`
/// zeroed, when nothing can be designed (no tap, no band, edges out of order or
/// outside 0 .. 0.5, fewer grid points than extremals, or a numerical
/// breakdown that leaves taps that are not finite).
///
/// Exported only so that the tests can reach it; it is not part of the
/// umbrella header. Allocates per call, so callers design once per run.
TEVO_EXPORT bool remezDesign(double* h, int numtaps, int numband, const double* bands, const double* des,
                             const double* weight);

/// Bands, desired gains and weights of a linear-phase design of `type`
/// (LowPass, HighPass, BandPass, BandStop) with edges f1 (and f2) and a
/// transition band of `transition`, all in fractions of the sample rate; the
/// stop bands get `stopWeight`. False for any other type.
TEVO_EXPORT bool remezBands(FilterType type, double f1, double f2, double transition, double stopWeight,
                            std::vector<double>& bands, std::vector<double>& des, std::vector<double>& weights);

} // namespace SoundTools
