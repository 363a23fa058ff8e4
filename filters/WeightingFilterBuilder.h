#pragma once

#include "FilterBuilder.h"

#include <valarray>

namespace SoundTools {

/// Designs the A-weighting filter for any sample rate.
///
/// The analogue A-weighting (poles at 20.6, 107.7, 737.9 and twice 12194 Hz,
/// normalised to 0 dB at 1 kHz) is mapped by the bilinear transform without
/// prewarping, K = 2 Fs: exact at low frequencies, increasingly low in the top
/// octaves (about -3.7 dB at 10 kHz for 48000 Hz, against -2.5 dB
/// analogue). The coefficients are written to Qt's debug output at each build.
class TEVO_EXPORT WeightingFilterBuilder : public FilterBuilder {
public:
    WeightingFilterBuilder();

    /// An Order6Filter, both arrays scaled so that the largest coefficient
    /// magnitude is 1.
    std::shared_ptr<Filter> buildFilter(unsigned sampleRate) override;

private:
    /// H(s) = s^2 / ((s + w1)(s + w2)), w = 2 pi f; out[0] feed-forward,
    /// out[1] feedback, 3 values each.
    void buildABiquad(double f1, double f2, double sampleRate, std::valarray<double>* out);
    /// H(s) = w2 s / (s + w1)^2.
    void buildCBiquad(double f1, double f2, double sampleRate, std::valarray<double>* out);
};

} // namespace SoundTools
