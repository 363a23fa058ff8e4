#pragma once

#include "Filter.h"

namespace SoundTools {

/// Second-order kernel (N = 3) with the loop unrolled: the general recurrence
/// of Filter, summed as ((b2 x[t-2] + (b1 x[t-1] + b0 x[t])) - a1 y[t-1] -
/// a2 y[t-2]) / a0. Same state layout and gain placement as Filter.
class TEVO_EXPORT BiquadFilter : public Filter {
public:
    /// Three feed-forward and three feedback coefficients; a[0] must not be 0.
    BiquadFilter(const double b[3], const double a[3]);

    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n) override;

    /// Runs `count` biquads in cascade over n frames, frame by frame: the same
    /// arithmetic, result and final state as calling filter() of each stage in
    /// turn over the whole block (the first from `in` into `out`, the others in
    /// place), but in one pass, so the stages' recursions overlap in the
    /// processor instead of each waiting for the previous one's whole block.
    static void filterCascade(BiquadFilter* const* stages, unsigned count, StereoFrame<double>* in,
                              StereoFrame<double>* out, unsigned n);
};

} // namespace SoundTools
