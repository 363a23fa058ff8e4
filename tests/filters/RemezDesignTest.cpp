#include "RemezDesign.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

namespace {

// Reference taps (the first half; the rest mirrors it) made at development
// time with python3 and Debian's scipy 1.10:
//   scipy.signal.remez(31, [0, 0.2, 0.25, 0.5], [1, 0], weight=[1, 1], fs=1.0)
//   scipy.signal.remez(31, [0, 0.2, 0.25, 0.5], [1, 0], weight=[1, 10], fs=1.0)
//   scipy.signal.remez(32, [0, 0.2, 0.25, 0.5], [1, 0], weight=[1, 1], fs=1.0)
//   scipy.signal.remez(25, [0, 0.1, 0.15, 0.3, 0.35, 0.5], [0, 1, 0], weight=[10, 1, 10], fs=1.0)
const double sLowPass31[] = {
    0.0066086117833236147, 0.016426240359850151, -0.0087751619554349326, -0.013543685012104699,
    0.0025597494648761446, 0.022173794303114027, 0.0039882743729614924, -0.030052489592829391,
    -0.017253353678557893, 0.037823249861860544, 0.041158866244813866, -0.044293821772366196,
    -0.091574669676690812, 0.048576715475175336, 0.31328768344470853, 0.44992395104283583};
const double sLowPass31Weight10[] = {
    0.0028412458999078054, -0.010773655319551831, -0.024790893842819128, -0.018778095920044466,
    0.0089705783912386785, 0.022229979448792514, -0.0038084759386256871, -0.032350219205261911,
    -0.0090908453177872117, 0.042949791861720328, 0.034024684741741029, -0.052104009241616629,
    -0.086689885770163927, 0.058332322774957375, 0.31156604551239542, 0.43948710240973249};
const double sLowPass32[] = {
    -0.00039444937475101083, 0.017375091704723268, 0.0028881502587573445, -0.013025206603826995,
    -0.0088306251014419312, 0.015380851595071895, 0.018346476578137368, -0.015094389187233109,
    -0.032090782692026434, 0.0098533614612943306, 0.051883881123728909, 0.005165823324048132,
    -0.084753794806455021, -0.047680042945324644, 0.1795377221558479, 0.41309620875675845};
const double sBandPass25[] = {
    0.0017768250321489893, 0.017221912887830731, 0.00058529221037913204, -0.065285182011501353,
    -0.023314235658929899, 0.062496212261154947, 0.023391542535304441, 0.01471642202636418,
    0.08623918771513106, -0.091959227145355968, -0.27655325677567399, 0.055087366430229344,
    0.37574928988327999};

const double sLowBands[] = {0.0, 0.2, 0.25, 0.5};
const double sLowDesired[] = {1.0, 0.0};

double amplitude(const std::vector<double>& h, double f)
{
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < h.size(); ++n)
        sum += h[n] * std::polar(1.0, -2.0 * M_PI * f * double(n));
    return std::abs(sum);
}

/// Largest deviation from `target` over [from, to], on a grid finer than the
/// design's.
double ripple(const std::vector<double>& h, double from, double to, double target)
{
    double worst = 0.0;
    for (int i = 0; i <= 2000; ++i)
        worst = std::max(worst, std::fabs(amplitude(h, from + (to - from) * i / 2000.0) - target));
    return worst;
}

std::vector<double> design(int taps, int bands, const double* edges, const double* des, const double* weights)
{
    std::vector<double> h(taps, -1.0);
    EXPECT_TRUE(SoundTools::remezDesign(h.data(), taps, bands, edges, des, weights));
    return h;
}

} // namespace

// Same exchange, same grid: the taps agree with scipy's to rounding (1e-12
// is about 1e-10 of the largest tap), and come out exactly symmetric.
TEST(RemezDesign, MatchesScipyForOddEvenAndWeightedDesigns)
{
    const double w1[] = {1.0, 1.0};
    const double w10[] = {1.0, 10.0};
    const double bpBands[] = {0.0, 0.1, 0.15, 0.3, 0.35, 0.5};
    const double bpDesired[] = {0.0, 1.0, 0.0};
    const double bpWeights[] = {10.0, 1.0, 10.0};
    struct Case {
        const char* name;
        std::vector<double> h;
        const double* reference;
    };
    const Case cases[] = {{"low-pass 31", design(31, 2, sLowBands, sLowDesired, w1), sLowPass31},
                          {"low-pass 31, stop weight 10", design(31, 2, sLowBands, sLowDesired, w10),
                           sLowPass31Weight10},
                          {"low-pass 32", design(32, 2, sLowBands, sLowDesired, w1), sLowPass32},
                          {"band-pass 25", design(25, 3, bpBands, bpDesired, bpWeights), sBandPass25}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t n = c.h.size();
        for (std::size_t i = 0; i < (n + 1) / 2; ++i) {
            EXPECT_NEAR(c.h[i], c.reference[i], 1e-12) << "tap " << i;
            EXPECT_EQ(c.h[i], c.h[n - 1 - i]) << "tap " << i;
        }
    }
}

// The defining property of the design, measured on the response itself.
TEST(RemezDesign, RipplesAreEqualAndFollowTheWeights)
{
    const double w1[] = {1.0, 1.0};
    const double w10[] = {1.0, 10.0};
    const std::vector<double> even = design(31, 2, sLowBands, sLowDesired, w1);
    const double pass = ripple(even, 0.0, 0.2, 1.0);
    const double stop = ripple(even, 0.25, 0.5, 0.0);
    // The dense-grid optimum differs from the continuous one by well under 1%.
    EXPECT_NEAR(stop / pass, 1.0, 0.01);

    const std::vector<double> weighted = design(31, 2, sLowBands, sLowDesired, w10);
    EXPECT_NEAR(ripple(weighted, 0.0, 0.2, 1.0) / ripple(weighted, 0.25, 0.5, 0.0), 10.0, 0.1);

    // A symmetric even-length filter has a zero at half the sample rate.
    const std::vector<double> evenLength = design(32, 2, sLowBands, sLowDesired, w1);
    EXPECT_LT(amplitude(evenLength, 0.5), 1e-12);
}

// Both ways an exchange can stop early print the warning once and still
// leave taps behind: 40 iterations without convergence, and a search that
// finds too few extremals (here the products break down, so the taps are
// refused rather than handed out as NaN).
TEST(RemezDesign, ReportsNonConvergenceAndNeverReturnsNonFiniteTaps)
{
    const double w1[] = {1.0, 1.0};
    const std::string message = "Reached maximum iteration count.\nResults may be bad.\n";

    std::vector<double> h(200, -1.0);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(SoundTools::remezDesign(h.data(), 200, 2, sLowBands, sLowDesired, w1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    EXPECT_TRUE(std::all_of(h.begin(), h.end(), [](double v) { return std::isfinite(v) && v != -1.0; }));

    std::vector<double> broken(447, -1.0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(SoundTools::remezDesign(broken.data(), 447, 2, sLowBands, sLowDesired, w1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    EXPECT_TRUE(std::all_of(broken.begin(), broken.end(), [](double v) { return v == 0.0; }));
}

// Bands too narrow for a grid point add none: a zero-width first band (a
// high-pass whose stop band shrank to nothing) still designs a high-pass,
// and a design with no grid point at all is refused before it starts.
TEST(RemezDesign, NarrowBandsAddNoGridPoint)
{
    const double highBands[] = {0.0, 0.0, 0.005, 0.5};
    const double highDesired[] = {0.0, 1.0};
    const double highWeights[] = {35.0, 1.0};
    // The error is flat over a single band, so the exchange never settles.
    testing::internal::CaptureStderr();
    const std::vector<double> h = design(447, 2, highBands, highDesired, highWeights);
    testing::internal::GetCapturedStderr();
    EXPECT_NEAR(amplitude(h, 0.25), 1.0, 0.06);
    EXPECT_NEAR(amplitude(h, 0.45), 1.0, 0.06);

    const double empty[] = {0.2, 0.2, 0.3, 0.29};
    std::vector<double> none(15, -1.0);
    EXPECT_FALSE(SoundTools::remezDesign(none.data(), 15, 2, empty, sLowDesired, highWeights));
    EXPECT_TRUE(std::all_of(none.begin(), none.end(), [](double v) { return v == 0.0; }));
}
