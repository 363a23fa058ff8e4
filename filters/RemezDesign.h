#pragma once

#include "FilterType.h"
#include "TevoExport.h"

#include <string>
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
/// The taps come from the optimal response sampled at numtaps equally spaced
/// frequencies. With `snapSamples` a sample within 1e-6 (in cos 2 pi f) of an
/// extremal takes that extremal's ordinate, as the classic program does; long
/// filters crowd their extremals near 0 and 0.5, where that stands for
/// frequencies far from the sample, so without it every sample is
/// interpolated (the barycentric form is accurate right up to an extremal).
///
/// Exported only so that the tests can reach it; it is not part of the
/// umbrella header. Allocates per call, so callers design once per run.
TEVO_EXPORT bool remezDesign(double* h, int numtaps, int numband, const double* bands, const double* des,
                             const double* weight, bool snapSamples = true);

/// A low-, high-, band-pass or band-stop filter asked of the equiripple
/// design, in Hz, with the rules that turn it into bands and a length.
struct EqualRippleSpec {
    const char* kind = "FIR"; ///< names the filter in error texts ("FIR", "FFT")
    FilterType type = LowPass;
    double freq1 = 0.0; ///< cut-off, or lower edge of BandPass and BandStop
    double freq2 = 0.0; ///< upper edge of BandPass and BandStop
    double sampleRate = 0.0;
    double deltaPass = 0.0;  ///< pass-band ripple, as an amplitude
    double deltaStop = 0.0;  ///< stop-band level, as an amplitude
    double transition = 0.0; ///< the rule's transition width, fraction of the rate
    bool oddLength = false;  ///< always odd (else odd only when the last band passes)
    unsigned maxTaps = 0;    ///< the longest filter the caller can run
    std::string tooLong;     ///< why maxTaps, as it ends the error text ("the limit is 32768")
};

/// A request filled in one place for every designer: `transition` is the
/// rule's width (fraction of the rate), `tooLong` why `maxTaps`.
TEVO_EXPORT EqualRippleSpec equalRippleRequest(const char* kind, FilterType type, double freq1, double freq2,
                                               double sampleRate, double deltaPass, double deltaStop,
                                               double transition, bool oddLength, unsigned maxTaps,
                                               std::string tooLong);

/// The bands, weights and length of a request, or why there are none.
struct EqualRipplePlan {
    unsigned taps = 0; ///< 0 when the request cannot be designed; `error` says why
    std::vector<double> bands;
    std::vector<double> desired;
    std::vector<double> weights;
    std::string error;
};

/// Turns a request into bands. The edges must be positive and below half the
/// rate (freq2 of BandPass at or above it makes a high-pass at freq1, of
/// BandStop a low-pass at freq1), and in ascending order. The transition of
/// the request is kept where it leaves non-empty, ordered bands; elsewhere each
/// side takes the widest transition that leaves the neighbouring stop band at
/// least as wide: half of freq1 below a pass band, half of what lies between
/// freq2 (or the cut-off) and half the rate above it, and a third of the
/// band-stop width on both sides of a stop band. The length is Kaiser's
/// estimate for the narrowest transition (odd where the request or the last
/// band needs it); longer than maxTaps is refused.
TEVO_EXPORT EqualRipplePlan planEqualRipple(const EqualRippleSpec& request);

/// Designs the plan's taps and measures their response on a grid of 16
/// points per tap (and at every edge) against the plan's bands: a pass band
/// must stay within 2 * deltaPass of 1, a stop band below 2 * deltaStop
/// (Kaiser's estimate is within that of the equiripple optimum). Taps formed
/// as the classic program forms them come first, then the same exchange
/// sampled exactly; a design that still misses is tried up to three times a
/// quarter longer, within maxTaps. False, with `error` naming the band that
/// misses and by how much, when none meets its bands; `h` then is empty.
TEVO_EXPORT bool designEqualRipple(const EqualRippleSpec& request, const EqualRipplePlan& plan, std::vector<double>& h,
                                   std::string& error);

/// Worst deviation of the amplitude of `h` from `desired` over each band,
/// on a grid of at least 16 points per tap plus the band edges.
TEVO_EXPORT std::vector<double> measureBands(const std::vector<double>& h, const std::vector<double>& bands,
                                             const std::vector<double>& desired);

} // namespace SoundTools
