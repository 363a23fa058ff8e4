// A-weighting, the bilinear image of the analogue curve: its response at f is the curve's at (Fs/pi) tan(pi f/Fs).

#include "TestUtil.h"
#include "WeightingFilterBuilder.h"

#include <gtest/gtest.h>

using namespace SoundTools;
using namespace TestUtil;

namespace {

constexpr long double kPi = 3.14159265358979323846264338327950288L;

/// Analogue A-weighting in dB (0 dB at 1 kHz within 0.01 dB).
double analogueA(long double f)
{
    const long double f2 = f * f;
    const long double ra = 12194.0L * 12194.0L * f2 * f2
        / ((f2 + 20.6L * 20.6L) * std::sqrt((f2 + 107.7L * 107.7L) * (f2 + 737.9L * 737.9L)) * (f2 + 12194.0L * 12194.0L));
    return static_cast<double>(20.0L * std::log10(ra) + 2.0L);
}

std::shared_ptr<Filter> build(unsigned fs)
{
    QtLogCapture quiet;
    return WeightingFilterBuilder().buildFilter(fs);
}

} // namespace

TEST(WeightingFilterBuilder, BilinearImageOfTheAnalogueCurve)
{
    for (unsigned fs : {8000u, 44100u, 48000u, 96000u}) {
        const auto k = build(fs);
        ASSERT_EQ(k->getFeedForward().size(), 7u);
        ASSERT_EQ(k->getFeedback().size(), 7u);
        EXPECT_DOUBLE_EQ(std::max(std::abs(k->getFeedForward()).max(), std::abs(k->getFeedback()).max()), 1.0);
        for (double f : {10.0, 31.5, 100.0, 440.0, 1000.0, 2500.0, 0.3 * fs, 0.45 * fs}) {
            const long double warped = fs / kPi * std::tan(kPi * f / fs);
            // 1e-4 dB: four poles crowding z = 1 cost the sixth-order polynomial digits at low frequencies.
            EXPECT_NEAR(toDb(magnitude(*k, f, fs)), analogueA(warped), 1e-4) << "f " << f << " Fs " << fs;
        }
    }
}

TEST(WeightingFilterBuilder, PolesAreTheMappedAnaloguePoles)
{
    // s = -w maps to z = (K - w)/(K + w), K = 2 Fs, real and inside the circle: a root of a(z^-1).
    for (unsigned fs : {8000u, 44100u, 192000u}) {
        const auto k = build(fs);
        const auto& a = k->getFeedback();
        for (long double fp : {20.6L, 107.7L, 737.9L, 12194.0L}) {
            const long double K = 2.0L * fs, w = 2 * kPi * fp;
            const long double z = (K - w) / (K + w);
            ASSERT_LT(std::fabs(z), 1.0L);
            long double value = 0, scale = 0;
            for (std::size_t i = 0; i < a.size(); ++i) {
                value += a[i] * std::pow(z, -(long double)i);
                scale += std::fabs(a[i] * std::pow(z, -(long double)i));
            }
            EXPECT_LT(std::fabs(value), 1e-7L * scale) << "pole " << (double)fp << " Fs " << fs;
        }
    }
}
