#pragma once

#include "FilterType.h"
#include "TevoExport.h"

#include <vector>

namespace SoundTools {

/// Designs a linear-phase FIR filter with an even-symmetric impulse response
/// (Parks-McClellan: Remez exchange on a dense grid, then frequency sampling of
/// the optimal response).
///
/// Frequencies are normalised to the sample rate (0 = DC, 0.5 = half the
/// rate). `bands` holds 2 * `numband` edges in ascending order (lower, upper of
/// each band); `des` the desired amplitude of each band (1 pass, 0 stop);
/// `weight` the weight of each band's error. The `numtaps` taps written to `h`
/// satisfy h[n] = h[numtaps - 1 - n]. An even `numtaps` always gives 0 at 0.5,
/// so it cannot make a filter whose last band passes.
///
/// Bands narrower than half a grid step add no grid point. When the exchange
/// does not converge in 40 iterations, or a search finds too few extremal
/// candidates, "Reached maximum iteration count.\nResults may be bad.\n" goes
/// to the standard error stream and the design is finished from the last
/// extremal set. Returns false, with `h` zeroed, when nothing can be designed
/// (no tap, no band, no grid point at all, or a numerical breakdown that
/// leaves taps that are not finite).
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
