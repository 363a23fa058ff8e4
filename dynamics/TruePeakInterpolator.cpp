#include "TruePeakInterpolator.h"

#include <algorithm>
#include <cmath>

const TruePeakInterpolator& TruePeakInterpolator::get()
{
    static const TruePeakInterpolator table;
    return table;
}

TruePeakInterpolator::TruePeakInterpolator()
{
    const double beta = 8.0;
    auto besselI0 = [](double x) {
        double sum = 1.0;
        double term = 1.0;
        for (int k = 1; k < 30; ++k) {
            term *= (x / (2.0 * k)) * (x / (2.0 * k));
            sum += term;
        }
        return sum;
    };
    for (int p = 1; p < kPhases; ++p) {
        const double f = double(p) / kPhases;
        double sum = 0.0;
        for (int m = -kHalfTaps + 1; m <= kHalfTaps; ++m) {
            const double t = f - m;
            const double sinc = std::sin(M_PI * t) / (M_PI * t);
            const double r = t / kHalfTaps;
            const double window = besselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(beta);
            taps[p][2 * (m + kHalfTaps - 1)] = sinc * window;
            sum += sinc * window;
        }
        double magnitude = 0.0;
        for (int k = 0; k < kTaps; ++k) {
            taps[p][2 * k] /= sum;
            taps[p][2 * k + 1] = taps[p][2 * k];
            magnitude += std::fabs(taps[p][2 * k]);
        }
        // A hair above the exact sum: rounding in the filter's own sums must
        // not let a value slip past the bound.
        bound = std::max(bound, magnitude * (1.0 + 1e-9));
    }
}

// Cloned for processors with 256-bit registers (chosen at load time). Eight
// running sums, two per channel in each of two interleaved halves: the
// order of the additions is fixed by this code, not by the vector width, and
// no multiply-add is fused, so every clone gives the same bits.
__attribute__((target_clones("avx", "default"))) void
TruePeakInterpolator::between(const SoundTools::StereoFrame<double>* x, size_t count, double* out, int phaseStep) const
{
    for (size_t j = 0; j < count; ++j) {
        const double* in = &x[j].left;
        double peak = 0.0;
        for (int p = phaseStep; p < kPhases; p += phaseStep) {
            const double* h = taps[p];
            double a[4] = {0.0, 0.0, 0.0, 0.0};
            double b[4] = {0.0, 0.0, 0.0, 0.0};
            for (int i = 0; i < 2 * kTaps; i += 8) {
                for (int l = 0; l < 4; ++l)
                    a[l] += in[i + l] * h[i + l];
                for (int l = 0; l < 4; ++l)
                    b[l] += in[i + 4 + l] * h[i + 4 + l];
            }
            const double left = (a[0] + a[2]) + (b[0] + b[2]);
            const double right = (a[1] + a[3]) + (b[1] + b[3]);
            peak = std::max(peak, std::max(std::fabs(left), std::fabs(right)));
        }
        out[j] = peak;
    }
}
