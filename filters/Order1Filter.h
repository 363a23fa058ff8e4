#pragma once

#include "Filter.h"

namespace SoundTools {

/// First-order kernel (N = 2) with the loop unrolled:
/// y = ((b1 x[t-1] + b0 x[t]) - a1 y[t-1]) / a0. Same state layout and gain
/// placement as Filter.
class TEVO_EXPORT Order1Filter : public Filter {
public:
    /// Two feed-forward and two feedback coefficients; a[0] must not be 0.
    Order1Filter(const double b[2], const double a[2]);

    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n) override;
};

} // namespace SoundTools
