#include "SoundAlgoEqFIR.h"

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

namespace {

constexpr unsigned sRate = 44100;

SoundAlgoEqFIR* makeFir(SoundTools::FilterType type, double f1, double f2 = 0.0)
{
    return new SoundAlgoEqFIR(type, f1, f2);
}

struct Released {
    void operator()(SoundAlgo* node) const { node->releaseReference(); }
};
using FirPtr = std::unique_ptr<SoundAlgoEqFIR, Released>;

std::vector<double> run(SoundAlgo& node, const std::vector<double>& in, unsigned block = 1048576, int* status = nullptr)
{
    const unsigned saved = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(block);
    TestUtil::MemoryReader reader(in, sRate);
    reader.rewind();
    TestUtil::MemoryWriter writer(sRate);
    const int result = node.processAll(reader, &writer);
    SoundBuffer::setDefaultSize(saved);
    if (status != nullptr)
        *status = result;
    return writer.samples;
}

/// The left channel of the response to a unit impulse on both channels: the
/// filter's taps h[0 .. n-1], since the node convolves causally.
std::vector<double> impulseResponse(SoundAlgoEqFIR& fir, unsigned length)
{
    // The output is lined up with the input: an impulse at the window's
    // centre gives the whole response from frame 0 on.
    std::vector<double> impulse(2 * std::size_t(length), 0.0);
    const std::size_t centre = fir.getDelay(sRate);
    impulse[2 * centre] = impulse[2 * centre + 1] = 1.0;
    const std::vector<double> out = run(fir, impulse);
    std::vector<double> h;
    for (std::size_t i = 0; i < out.size(); i += 2)
        h.push_back(out[i]);
    return h;
}

double magnitudeAtHz(const std::vector<double>& h, double hz)
{
    std::complex<double> sum = 0.0;
    for (std::size_t n = 0; n < h.size(); ++n)
        sum += h[n] * std::polar(1.0, -2.0 * M_PI * hz / sRate * double(n));
    return std::abs(sum);
}

std::vector<double> noise(unsigned frames, uint64_t seed)
{
    std::vector<double> s(2 * std::size_t(frames));
    for (double& v : s) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        v = double(seed >> 11) / 9007199254740992.0 - 0.5;
    }
    return s;
}

} // namespace

// Kaiser's estimate at 44100 Hz: the lengths the node's documentation
// promises, an even high-pass length made odd, and a new length for a new
// sample rate.
TEST(SoundAlgoEqFIR, TapCountsFollowTheTransitionWidth)
{
    struct Case {
        SoundTools::FilterType type;
        double f1;
        unsigned taps;
    };
    const Case cases[] = {{SoundTools::LowPass, 1000, 35},
                          {SoundTools::HighPass, 1000, 137},
                          {SoundTools::LowPass, 100, 341},
                          {SoundTools::HighPass, 100, 1363}}; // 1362 by the estimate
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " at " << c.f1 << " Hz");
        FirPtr fir(makeFir(c.type, c.f1));
        EXPECT_EQ(fir->getDelay(sRate), (c.taps - 1) / 2) << "the window's centre";
        EXPECT_EQ(fir->getInOverlap(sRate), c.taps - 1);
        EXPECT_EQ(fir->getNumTaps(), c.taps);
    }
    FirPtr fir(makeFir(SoundTools::LowPass, 1000));
    EXPECT_EQ(fir->getInOverlap(44100), 34u);
    // Twice the transition in normalised units: floor(22.53 / (0.0907 * 14.6) + 0.5) + 1.
    EXPECT_EQ(fir->getInOverlap(22050), 17u);
    EXPECT_STREQ(fir->getName(), "SoundAlgoEqFIR");
}

// No length can come from a frequency that is not positive or from a
// transition that needs more than 32768 taps; an unsupported kind is
// refused too. Each fails the run with a text instead of misbehaving.
TEST(SoundAlgoEqFIR, RefusesWhatItCannotDesign)
{
    struct Case {
        SoundTools::FilterType type;
        double f1;
        const char* text;
    };
    const Case cases[] = {{SoundTools::LowPass, 0.0, "positive"},
                          {SoundTools::HighPass, -50.0, "positive"},
                          {SoundTools::HighPass, 1.0, "32768"},
                          {SoundTools::LowShelf, 1000.0, "Unsupported FIR mode : 4"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " at " << c.f1 << " Hz");
        FirPtr fir(makeFir(c.type, c.f1));
        EXPECT_EQ(fir->getDelay(sRate) > 0, c.type == SoundTools::LowShelf);
        int status = -1;
        run(*fir, noise(1000, 1), 4096, &status);
        EXPECT_EQ(status, SoundTools::StatusError);
        EXPECT_NE(std::string(fir->getError()).find(c.text), std::string::npos) << fir->getError();
    }
}

// The responses measured on the impulse response: pass bands near the
// 0.5 dB ripple, stop bands near -40 dB, and (the point of the odd length)
// a high-pass and a band-stop that still pass at 0.45 times the rate.
TEST(SoundAlgoEqFIR, ResponsesPassAndStopWhereTheyShould)
{
    // Kaiser's estimate gives slightly short filters for these ripples: the
    // equiripple designs reach about +-0.6 dB and -33 to -41 dB.
    const double passLow = std::pow(10.0, -0.7 / 20), passHigh = std::pow(10.0, 0.7 / 20);
    const double stopMax = std::pow(10.0, -33.0 / 20);
    struct Case {
        const char* name;
        SoundTools::FilterType type;
        double f1, f2;
        std::vector<double> passHz, stopHz;
    };
    const Case cases[] = {
        {"low-pass 1000", SoundTools::LowPass, 1000, 0, {0, 500, 1000}, {3000, 8000, 20000}},
        {"high-pass 1000", SoundTools::HighPass, 1000, 0, {1000, 5000, 0.45 * sRate, 0.5 * sRate}, {0, 300}},
        {"high-pass 100", SoundTools::HighPass, 100, 0, {100, 1000, 0.45 * sRate, 0.5 * sRate}, {0, 30}},
        {"band-pass 1000-4000", SoundTools::BandPass, 1000, 4000, {1000, 2500, 4000}, {0, 500, 5000, 15000}},
        {"band-stop 1000-8000", SoundTools::BandStop, 1000, 8000, {0, 500, 12000, 0.45 * sRate}, {3500, 5000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FirPtr fir(makeFir(c.type, c.f1, c.f2));
        const unsigned taps = fir->getInOverlap(sRate) + 1;
        std::vector<double> h = impulseResponse(*fir, taps + 100);
        ASSERT_GE(h.size(), taps);
        for (std::size_t i = taps; i < h.size(); ++i)
            ASSERT_EQ(h[i], 0.0) << "the response is longer than the filter";
        h.resize(taps);
        for (unsigned i = 0; i < taps / 2; ++i)
            ASSERT_EQ(h[i], h[taps - 1 - i]) << "not linear phase at tap " << i;
        for (double hz : c.passHz) {
            EXPECT_GT(magnitudeAtHz(h, hz), passLow) << hz << " Hz";
            EXPECT_LT(magnitudeAtHz(h, hz), passHigh) << hz << " Hz";
        }
        for (double hz : c.stopHz)
            EXPECT_LT(magnitudeAtHz(h, hz), stopMax) << hz << " Hz";
    }
}

// The output is the causal convolution summed from the first tap onwards,
// whatever the thread count and vector unit: compared bit for bit with a
// plain loop, on lengths that leave partial vector blocks and thread chunks.
TEST(SoundAlgoEqFIR, OutputIsBitIdenticalToAPlainLoopOnOneAndTwoThreads)
{
    FirPtr fir(makeFir(SoundTools::HighPass, 1000));
    const unsigned taps = fir->getInOverlap(sRate) + 1;
    const unsigned centre = fir->getDelay(sRate);
    std::vector<double> h = impulseResponse(*fir, taps);
    const std::vector<double> in = noise(10007, 42);
    const unsigned frames = static_cast<unsigned>(in.size() / 2);

    // Lined up with the input: output frame p is the causal convolution at
    // p + centre, and the run ends with the input.
    std::vector<double> expected(2 * std::size_t(frames));
    for (unsigned p = 0; p < frames; ++p) {
        for (int c = 0; c < 2; ++c) {
            double sum = 0.0;
            for (unsigned k = 0; k < taps; ++k) {
                const long j = long(p + centre) - long(taps - 1) + long(k);
                sum += h[taps - 1 - k] * (j >= 0 && j < long(frames) ? in[2 * j + c] : 0.0);
            }
            expected[2 * p + c] = sum * 1.0;
        }
    }

    const int savedThreads = omp_get_max_threads();
    for (int threads : {1, 2}) {
        for (unsigned block : {4096u, 1048576u}) {
            SCOPED_TRACE(testing::Message() << threads << " threads, block " << block);
            omp_set_num_threads(threads);
            const std::vector<double> out = run(*fir, in, block);
            ASSERT_EQ(out.size(), expected.size());
            for (std::size_t i = 0; i < out.size(); ++i)
                ASSERT_EQ(out[i], expected[i]) << "frame " << i / 2;
        }
    }
    omp_set_num_threads(savedThreads);
}

TEST(SoundAlgoEqFIR, OutputGainScalesTheFilteredSignal)
{
    const std::vector<double> in = noise(3000, 5);
    FirPtr plain(makeFir(SoundTools::LowPass, 2000));
    FirPtr quieter(makeFir(SoundTools::LowPass, 2000));
    quieter->SetOutputGain(-6.0);
    const std::vector<double> a = run(*plain, in);
    const std::vector<double> b = run(*quieter, in);
    ASSERT_EQ(a.size(), b.size());
    const double factor = std::pow(10.0, -0.3); // 0.501
    for (std::size_t i = 0; i < a.size(); ++i)
        ASSERT_NEAR(b[i], a[i] * factor, 1e-15) << "sample " << i;
}
