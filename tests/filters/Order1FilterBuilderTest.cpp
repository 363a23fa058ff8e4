// First-order designs against the prewarped bilinear response; finite, stable kernels for any frequency.

#include "TestUtil.h"
#include "Order1FilterBuilder.h"

#include <gtest/gtest.h>

#include <limits>

using namespace SoundTools;
using namespace TestUtil;

namespace {

/// |H_lp(f)|^2 = 1 / (1 + (tan(pi f/Fs) / tan(pi fc/Fs))^2); the high-pass is its power complement.
double expectedLowPass(double f, double fc, double fs)
{
    const long double pi = 3.14159265358979323846264338327950288L;
    const long double r = std::tan(pi * f / fs) / std::tan(pi * fc / fs);
    return static_cast<double>(std::sqrt(1.0L / (1.0L + r * r)));
}

std::shared_ptr<Filter> build(FilterType type, double f, unsigned fs)
{
    return Order1FilterBuilder(type, f).buildFilter(fs);
}

} // namespace

TEST(Order1FilterBuilder, PrewarpedResponse)
{
    for (unsigned fs : {44100u, 96000u}) {
        for (double fc : {20.0, 1000.0, 15000.0}) {
            SCOPED_TRACE(testing::Message() << "fc " << fc << " Fs " << fs);
            const auto lp = build(LowPass, fc, fs);
            const auto hp = build(HighPass, fc, fs);
            // Exactly half power on the corner, for both.
            EXPECT_NEAR(magnitude(*lp, fc, fs), std::sqrt(0.5), 1e-12);
            EXPECT_NEAR(magnitude(*hp, fc, fs), std::sqrt(0.5), 1e-12);
            for (double f : {0.0, 5.0, 300.0, 5000.0, fs * 0.45, fs * 0.5}) {
                const double lpWant = expectedLowPass(f, fc, fs);
                EXPECT_NEAR(magnitude(*lp, f, fs), lpWant, 1e-12) << "f " << f;
                EXPECT_NEAR(magnitude(*hp, f, fs), std::sqrt(1.0 - lpWant * lpWant), 1e-9) << "f " << f;
            }
            // The high-pass keeps its feedback unnormalised ({K+1, 1-K}): the kernel must divide by a0.
            EXPECT_NE(hp->getFeedback()[0], 1.0);
        }
    }
}

TEST(Order1FilterBuilder, FiniteAndStableForAnyFrequency)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (unsigned fs : {8000u, 44100u, 48000u, 192000u})
        for (FilterType type : {LowPass, HighPass})
            for (double f : {0.0, 1.0, fs * 0.5, fs * 0.6, fs * 1.5, -3.0, 1e-12, nan})
                ASSERT_TRUE(finiteAndStable(*build(type, f, fs))) << "type " << type << " f " << f << " Fs " << fs;
    // Above Fs/2 the low-pass is designed near Fs/2: it passes DC, not unstable or folded like the raw formula.
    EXPECT_NEAR(magnitude(*build(LowPass, 30000, 44100), 0, 44100), 1.0, 1e-12);
    EXPECT_LT(magnitude(*build(LowPass, 30000, 44100), 22050, 44100), 0.1);
}

TEST(Order1FilterBuilder, UnsupportedKindGivesAUnityKernel)
{
    QtLogCapture log;
    const auto k = build(BandEq, 1000, 44100);
    EXPECT_TRUE(log.lastCritical().startsWith("Unsupported FirstOrderFilter Eq mode :"));
    std::vector<double> x = noise(100, 7), out(x.size());
    k->filter(frames(x), frames(out), 100);
    EXPECT_EQ(out, x);
}
