// Filter designs: the equaliser sections against the audio-EQ cookbook (long double), the first-order ones against
// the prewarped bilinear response, A-weighting against the analogue curve; finite and stable for any parameter. Band
// centre and quantised width: the width index is the largest k with 2^(k step) <= high/low.

#include "TestUtil.h"

#include "BiquadEqBuilder.h"
#include "Order1FilterBuilder.h"
#include "WeightingFilterBuilder.h"
#include "get_fco.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

using namespace SoundTools;
using namespace TestUtil;

namespace {

std::shared_ptr<Filter> build(FilterType type, double f, double width, double dB, unsigned fs)
{
    return BiquadEqBuilder(type, f, width, dB).buildFilter(fs);
}

std::shared_ptr<Filter> firstOrder(FilterType type, double f, unsigned fs)
{
    return Order1FilterBuilder(type, f).buildFilter(fs);
}

std::shared_ptr<Filter> weighting(unsigned fs)
{
    QtLogCapture quiet;
    return WeightingFilterBuilder().buildFilter(fs);
}

constexpr long double kPi = 3.14159265358979323846264338327950288L;

struct Coefficients {
    long double b0, b1, b2, a0, a1, a2;
};

/// The cookbook as published: bandwidth form for the pass and peaking filters, shelf slope for the shelves.
Coefficients cookbook(FilterType type, long double f, long double fs, long double width, long double dB)
{
    const long double w0 = 2 * kPi * f / fs, c = std::cos(w0), s = std::sin(w0);
    const long double A = std::pow(10.0L, dB / 40);
    const long double alphaBw = s * std::sinh(std::log(2.0L) / 2 * width * w0 / s);
    const long double alphaS = s / 2 * std::sqrt((A + 1 / A) * (1 / width - 1) + 2);
    const long double sq = 2 * std::sqrt(A) * alphaS;
    switch (type) {
    case LowPass: return {(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + alphaBw, -2 * c, 1 - alphaBw};
    case HighPass: return {(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alphaBw, -2 * c, 1 - alphaBw};
    case BandPass: return {alphaBw, 0, -alphaBw, 1 + alphaBw, -2 * c, 1 - alphaBw};
    case BandEq: return {1 + alphaBw * A, -2 * c, 1 - alphaBw * A, 1 + alphaBw / A, -2 * c, 1 - alphaBw / A};
    case LowShelf:
        return {A * ((A + 1) - (A - 1) * c + sq), 2 * A * ((A - 1) - (A + 1) * c), A * ((A + 1) - (A - 1) * c - sq),
                (A + 1) + (A - 1) * c + sq, -2 * ((A - 1) + (A + 1) * c), (A + 1) + (A - 1) * c - sq};
    case HighShelf:
        return {A * ((A + 1) + (A - 1) * c + sq), -2 * A * ((A - 1) + (A + 1) * c), A * ((A + 1) + (A - 1) * c - sq),
                (A + 1) - (A - 1) * c + sq, 2 * ((A - 1) - (A + 1) * c), (A + 1) - (A - 1) * c - sq};
    default: return {1, 0, 0, 1, 0, 0};
    }
}

void expectCookbook(FilterType type, double f, double width, double dB, unsigned fs, double tolerance)
{
    SCOPED_TRACE(testing::Message() << "type " << type << " f " << f << " width " << width << " gain " << dB
                                    << " Fs " << fs);
    const auto kernel = build(type, f, width, dB, fs);
    const Coefficients r = cookbook(type, f, fs, width, dB);
    const long double want[5] = {r.b0 / r.a0, r.b1 / r.a0, r.b2 / r.a0, r.a1 / r.a0, r.a2 / r.a0};
    const auto &b = kernel->getFeedForward(), &a = kernel->getFeedback();
    ASSERT_EQ(kernel->getOrder(), 3u);
    EXPECT_EQ(a[0], 1.0);
    const double got[5] = {b[0], b[1], b[2], a[1], a[2]};
    for (int i = 0; i < 5; ++i)
        EXPECT_LE(std::fabs(got[i] - want[i]), tolerance * std::fabs(want[i]) + 1e-300) << "coefficient " << i;
}

/// |H_lp(f)|^2 = 1 / (1 + (tan(pi f/Fs) / tan(pi fc/Fs))^2); the high-pass is its power complement.
double expectedLowPass(double f, double fc, double fs)
{
    const long double pi = 3.14159265358979323846264338327950288L;
    const long double r = std::tan(pi * f / fs) / std::tan(pi * fc / fs);
    return static_cast<double>(std::sqrt(1.0L / (1.0L + r * r)));
}

/// Analogue A-weighting in dB (0 dB at 1 kHz within 0.01 dB).
double analogueA(long double f)
{
    const long double f2 = f * f;
    const long double ra = 12194.0L * 12194.0L * f2 * f2
        / ((f2 + 20.6L * 20.6L) * std::sqrt((f2 + 107.7L * 107.7L) * (f2 + 737.9L * 737.9L)) * (f2 + 12194.0L * 12194.0L));
    return static_cast<double>(20.0L * std::log10(ra) + 2.0L);
}

} // namespace

TEST(BiquadEqBuilder, MatchesTheCookbook)
{
    // Relative: LowPass and peaking in double (1e-9 covers 1 - cos w0 at low frequencies); HighPass and
    // BandPass round 1/(1 + alpha) to single precision (2^-24); the shelves hold A in single precision.
    for (unsigned fs : {44100u, 48000u, 96000u}) {
        for (double f : {50.0, 1000.0, 9000.0}) {
            for (double w : {0.3, 1.0, 2.5}) {
                expectCookbook(LowPass, f, w, 0, fs, 1e-9);
                expectCookbook(BandEq, f, w, 6.0, fs, 1e-9);
                expectCookbook(BandEq, f, w, -15.0, fs, 1e-9);
                expectCookbook(BandEq, f, w, 0.0, fs, 1e-9);
                expectCookbook(HighPass, f, w, 0, fs, 2e-7);
                expectCookbook(BandPass, f, w, 0, fs, 2e-7);
            }
            for (double slope : {0.5, 1.0}) {
                expectCookbook(LowShelf, f, slope, 9.0, fs, 1e-6);
                expectCookbook(HighShelf, f, slope, -12.0, fs, 1e-6);
            }
        }
    }
}

TEST(FilterBuilders, EveryDesignIsFiniteAndStableWhateverTheParameters)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (unsigned fs : {8000u, 22050u, 44100u, 48000u, 96000u, 192000u}) {
        for (double f : {0.0, 1.0, fs * 0.5, fs * 0.6, fs * 1.5, -100.0, -3.0, fs * 0.4999, 1e-9, 1e-12, nan, inf}) {
            for (FilterType type : {LowPass, HighPass})
                ASSERT_TRUE(finiteAndStable(*firstOrder(type, f, fs))) << "first order " << type << " f " << f << " Fs " << fs;
            for (FilterType type : {LowPass, BandPass, HighPass, LowShelf, BandEq, HighShelf})
                for (double w : {1e-4, 0.5, 1.0, 4.0, 12.0, 0.0, -1.0, nan})
                    for (double g : {-24.0, 0.0, 12.0, 400.0, -2000.0})
                        ASSERT_TRUE(finiteAndStable(*build(type, f, w, g, fs)))
                            << "type " << type << " f " << f << " width " << w << " gain " << g << " Fs " << fs;
        }
    }
    // Above Fs/2 the first-order low-pass is designed near Fs/2: it passes DC, not unstable or folded like the raw
    // formula.
    EXPECT_NEAR(magnitude(*firstOrder(LowPass, 30000, 44100), 0, 44100), 1.0, 1e-12);
    EXPECT_LT(magnitude(*firstOrder(LowPass, 30000, 44100), 22050, 44100), 0.1);
}

// At the top of the band a section does what was asked within the band that
// exists: a low-pass at or above 0.49 Fs passes the audio band (within 1 dB
// up to 0.4 Fs), a section whose width reaches past Fs/2 acts on the top of
// the band only, and nothing folds back. Below that the cookbook holds
// (checked against the published formulas above).
TEST(BiquadEqBuilder, DesignsAtTheTopOfTheBandActOnTheTopOnly)
{
    struct Case {
        FilterType type;
        double f, width, gain;
        unsigned fs;
    };
    const Case flatBelow[] = {{LowPass, 24000, 1, 0, 48000}, {LowPass, 30000, 1, 0, 48000}, {LowPass, 0.49 * 48000, 1, 0, 48000}, {LowPass, 21000, 1, 0, 44100}, {BandEq, 30000, 1, 6, 44100}, {BandEq, 22050, 0.5, 6, 44100}, {HighShelf, 30000, 1, 6, 44100}};
    for (const Case& c : flatBelow) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " f " << c.f << " width " << c.width << " Fs " << c.fs);
        const auto k = build(c.type, c.f, c.width, c.gain, c.fs);
        for (double f : {0.0, 100.0, 1000.0, 3000.0, 10000.0, 0.3 * c.fs})
            EXPECT_NEAR(toDb(magnitude(*k, f, c.fs)), 0.0, 0.3) << f << " Hz";
        EXPECT_NEAR(toDb(magnitude(*k, 0.4 * c.fs, c.fs)), 0.0, 1.0);
    }
    // The peak still reaches its gain at the top of the band.
    EXPECT_NEAR(toDb(magnitude(*build(BandEq, 22050, 0.5, 6, 44100), 0.49 * 44100, 44100)), 6.0, 0.5);
    // Designed inside [1 Hz, 0.49 Fs]: a high-pass still blocks DC and passes the top.
    const unsigned fs = 48000;
    for (double f : {0.0, fs * 0.5, fs * 0.6}) {
        SCOPED_TRACE(testing::Message() << "f " << f);
        EXPECT_NEAR(magnitude(*build(HighPass, f, 1, 0, fs), 0, fs), 0.0, 1e-9);
        EXPECT_NEAR(magnitude(*build(HighPass, f, 1, 0, fs), fs * 0.5, fs), 1.0, 1e-6);
    }
    // A low-pass below 1 Hz still passes DC.
    EXPECT_NEAR(magnitude(*build(LowPass, 0.0, 1, 0, fs), 0, fs), 1.0, 1e-7);
    // Without a width (0) a low- or high-pass is Butterworth: -3.01 dB at the
    // corner and the bilinear image of 1 / (1 + (f/fc)^4) elsewhere.
    for (FilterType type : {LowPass, HighPass}) {
        const auto k = build(type, 1000, 0, 0, 44100);
        EXPECT_NEAR(toDb(magnitude(*k, 1000, 44100)), -3.0103, 1e-3);
        const double warp = std::tan(M_PI * 3000 / 44100) / std::tan(M_PI * 1000 / 44100);
        const double r = type == LowPass ? warp : 1.0 / warp;
        // (1e-7: the high-pass keeps its normaliser in single precision)
        EXPECT_NEAR(magnitude(*k, 3000, 44100), 1.0 / std::sqrt(1.0 + std::pow(r, 4)), 1e-7);
    }
}

TEST(FilterBuilders, UnsupportedKindGivesAUnityKernel)
{
    const std::function<std::shared_ptr<Filter>()> makers[] = {[] { return build(BandStop, 1000, 1, 6, 44100); },
                                                               [] { return firstOrder(BandEq, 1000, 44100); }};
    for (const auto& make : makers) {
        QtLogCapture log;
        const auto k = make();
        EXPECT_FALSE(log.lastCritical().isEmpty()) << "the refusal is reported";
        std::vector<double> x = noise(100, 7), out(x.size());
        k->filter(frames(x), frames(out), 100);
        EXPECT_EQ(out, x);
    }
}

TEST(Order1FilterBuilder, PrewarpedResponse)
{
    for (unsigned fs : {44100u, 96000u}) {
        for (double fc : {20.0, 1000.0, 15000.0}) {
            SCOPED_TRACE(testing::Message() << "fc " << fc << " Fs " << fs);
            const auto lp = firstOrder(LowPass, fc, fs);
            const auto hp = firstOrder(HighPass, fc, fs);
            // Exactly half power on the corner, for both.
            EXPECT_NEAR(magnitude(*lp, fc, fs), std::sqrt(0.5), 1e-12);
            EXPECT_NEAR(magnitude(*hp, fc, fs), std::sqrt(0.5), 1e-12);
            for (double f : {0.0, 5.0, 300.0, 5000.0, fs * 0.45, fs * 0.5}) {
                const double lpWant = expectedLowPass(f, fc, fs);
                EXPECT_NEAR(magnitude(*lp, f, fs), lpWant, 1e-12) << "f " << f;
                EXPECT_NEAR(magnitude(*hp, f, fs), std::sqrt(1.0 - lpWant * lpWant), 1e-9) << "f " << f;
            }
        }
    }
}

TEST(WeightingFilterBuilder, BilinearImageOfTheAnalogueCurve)
{
    for (unsigned fs : {8000u, 44100u, 48000u, 96000u}) {
        const auto k = weighting(fs);
        for (double f : {10.0, 31.5, 100.0, 440.0, 1000.0, 2500.0, 0.3 * fs, 0.45 * fs}) {
            const long double warped = fs / kPi * std::tan(kPi * f / fs);
            // 1e-4 dB: four poles crowding z = 1 cost the sixth-order polynomial digits at low frequencies.
            EXPECT_NEAR(toDb(magnitude(*k, f, fs)), analogueA(warped), 1e-4) << "f " << f << " Fs " << fs;
        }
    }
    // The published table at 48 kHz, against a slip in the analogue curve itself.
    const auto k = weighting(48000);
    for (auto [f, db] : {std::pair{100.0, -19.1}, {1000.0, 0.0}, {10000.0, -3.7}})
        EXPECT_NEAR(toDb(magnitude(*k, f, 48000)), db, 0.06) << f << " Hz";
}

TEST(WeightingFilterBuilder, PolesAreTheMappedAnaloguePoles)
{
    // s = -w maps to z = (K - w)/(K + w), K = 2 Fs, real and inside the circle: a root of a(z^-1).
    for (unsigned fs : {8000u, 44100u, 192000u}) {
        const auto k = weighting(fs);
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

namespace {
constexpr double kStep = 15.0 / 4096.0;
}

TEST(GetFco, SameAnswersFromConcurrentFirstCalls)
{
    // Ratios mid-step, so that the logarithm's rounding cannot move them across a step boundary.
    std::vector<double> ratios;
    for (int k = 0; k < 4095; k += 37)
        ratios.push_back(std::pow(2.0, (k + 0.5) * kStep));
    std::vector<std::vector<double>> widths(8, std::vector<double>(ratios.size()));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < widths.size(); ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < ratios.size(); ++i) {
                double fc;
                SoundTools::get_fco(100.0, 100.0 * ratios[i], fc, widths[t][i]);
            }
        });
    for (auto& th : threads)
        th.join();
    for (std::size_t i = 0; i < ratios.size(); ++i) {
        const double k = std::floor(std::log2(ratios[i]) / kStep);
        for (const auto& w : widths)
            ASSERT_DOUBLE_EQ(w[i], (k + 0.5) * kStep) << "ratio " << ratios[i];
    }
    // The centre is the geometric middle of the quantised band; a reversed band gets the smallest width, one beyond
    // 15 octaves the largest.
    double fc = 0, w = 0;
    SoundTools::get_fco(1000, 2000, fc, w);
    EXPECT_DOUBLE_EQ(fc, std::pow(2.0, w / 2) * 1000);
    SoundTools::get_fco(2000, 1000, fc, w);
    EXPECT_DOUBLE_EQ(w, 0.5 * kStep);
    SoundTools::get_fco(1, 1e6, fc, w);
    EXPECT_DOUBLE_EQ(w, 4095.5 * kStep);
}
