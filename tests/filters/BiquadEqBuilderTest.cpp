// Equaliser sections against the audio-EQ cookbook (long double), and finite, stable for any parameter.

#include "BiquadEqBuilder.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <limits>

using namespace SoundTools;
using namespace TestUtil;

namespace {

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

std::shared_ptr<Filter> build(FilterType type, double f, double width, double dB, unsigned fs)
{
    return BiquadEqBuilder(type, f, width, dB).buildFilter(fs);
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

TEST(BiquadEqBuilder, ResponseAtTheDesignPoints)
{
    const unsigned fs = 48000;
    // Peaking: exactly the gain at the centre; 0 dB gain is a unity section.
    EXPECT_NEAR(toDb(magnitude(*build(BandEq, 2000, 1, 7.5, fs), 2000, fs)), 7.5, 1e-9);
    EXPECT_NEAR(toDb(magnitude(*build(BandEq, 300, 0.5, -20, fs), 300, fs)), -20, 1e-9);
    for (double f : {100.0, 5000.0, 20000.0})
        EXPECT_NEAR(magnitude(*build(BandEq, 2000, 1, 0, fs), f, fs), 1.0, 1e-12);
    // Shelves: half the gain (in dB) at the corner, the full gain far away.
    const auto low = build(LowShelf, 500, 1, 10, fs);
    EXPECT_NEAR(toDb(magnitude(*low, 500, fs)), 5.0, 1e-5);
    EXPECT_NEAR(toDb(magnitude(*low, 0, fs)), 10.0, 1e-5);
    EXPECT_NEAR(toDb(magnitude(*low, 24000, fs)), 0.0, 1e-3);
    const auto high = build(HighShelf, 4000, 1, -8, fs);
    EXPECT_NEAR(toDb(magnitude(*high, 4000, fs)), -4.0, 1e-5);
    EXPECT_NEAR(toDb(magnitude(*high, 24000, fs)), -8.0, 1e-5);
    // The band-pass peaks at 0 dB on its centre.
    EXPECT_NEAR(magnitude(*build(BandPass, 3000, 1, 0, fs), 3000, fs), 1.0, 1e-6);
}

TEST(BiquadEqBuilder, EveryDesignIsFiniteAndStableWhateverTheParameters)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (unsigned fs : {8000u, 22050u, 44100u, 48000u, 96000u, 192000u})
        for (FilterType type : {LowPass, BandPass, HighPass, LowShelf, BandEq, HighShelf})
            for (double f : {0.0, 1.0, fs * 0.5, fs * 0.6, -100.0, fs * 0.4999, 1e-9, nan, inf})
                for (double w : {1e-4, 0.5, 1.0, 4.0, 12.0, 0.0, -1.0, nan})
                    for (double g : {-24.0, 0.0, 12.0, 400.0, -2000.0})
                        ASSERT_TRUE(finiteAndStable(*build(type, f, w, g, fs)))
                            << "type " << type << " f " << f << " width " << w << " gain " << g << " Fs " << fs;
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

TEST(BiquadEqBuilder, UnsupportedKindGivesAUnitySection)
{
    QtLogCapture log;
    const auto k = build(BandStop, 1000, 1, 6, 44100);
    EXPECT_TRUE(log.lastCritical().startsWith("Unsupported Biquad Eq mode :"));
    EXPECT_TRUE(log.lastCritical().trimmed().endsWith("2"));
    std::vector<double> x = noise(10, 8), out(x.size());
    k->filter(frames(x), frames(out), 10);
    EXPECT_EQ(out, x);
}
