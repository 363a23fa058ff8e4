#pragma once

#include "FilterBuilder.h"
#include "FilterType.h"

namespace SoundTools {

/// Designs first-order low-pass and high-pass kernels by the bilinear
/// transform with prewarping: the -3 dB point falls exactly on `freq`.
///
/// `freq` in Hz is used as given inside (0, Fs/2); outside it (where the
/// design gives NaN at 0 or a pole outside the unit circle above Fs/2) it is
/// brought into [1 Hz, 0.49 Fs].
class TEVO_EXPORT Order1FilterBuilder : public FilterBuilder {
public:
    Order1FilterBuilder(FilterType type, double freq);

    void setFreq(double freqHz) { freq = freqHz; }

    /// An Order1Filter. LowPass: feed-forward {1/(K+1), 1/(K+1)}, feedback
    /// {1, (1-K)/(K+1)}; HighPass: feed-forward {K, -K}, feedback {K+1, 1-K}
    /// (the kernel divides by K+1); K = 1/tan(pi freq/Fs). Other kinds are
    /// reported on Qt's critical log and give a unity kernel.
    std::shared_ptr<Filter> buildFilter(unsigned sampleRate) override;

private:
    FilterType type;
    double freq;
};

} // namespace SoundTools
