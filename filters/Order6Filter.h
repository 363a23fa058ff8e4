#pragma once

#include "Filter.h"

namespace SoundTools {

/// Sixth-order kernel (N = 7) with the loop unrolled, as designed for the
/// A-weighting filter: the feed-forward sum from the newest term to the
/// oldest, then the feedback terms subtracted from the newest to the oldest,
/// divided by a0. Same state layout and gain placement as Filter.
class TEVO_EXPORT Order6Filter : public Filter {
public:
    /// Seven feed-forward and seven feedback coefficients (shorter arrays are
    /// padded with zeros); a[0] must not be 0.
    Order6Filter(std::valarray<double> b, std::valarray<double> a);

    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n) override;
};

} // namespace SoundTools
