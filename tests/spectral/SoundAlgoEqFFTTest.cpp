#include "TestUtil.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoEqFFT.h"
#include "SoundAlgoEqFIR.h"
#include "SoundAlgoFFTFilter.h"

#include <utility>

using namespace TestUtil;

namespace {

SoundAlgoFFTFilter* filterOf(SoundAlgoEqFFT& eq)
{
    // The equaliser's one branch: forward transform, filter, inverse.
    return dynamic_cast<SoundAlgoFFTFilter*>(eq.getBranch(0).at(1));
}

SoundAlgoEqFFT* asEq(SoundAlgo* node)
{
    return dynamic_cast<SoundAlgoEqFFT*>(node);
}

} // namespace

// Overlap-add of zero-padded blocks of size - taps + 1 frames is a linear
// convolution: the output equals a direct convolution with the designed
// taps, whatever the block and transform sizes, from the first frame to the
// last, lined up with the input (the filter's lag of (taps - 1) / 2
// compensated by the run).
TEST(SoundAlgoEqFFT, FilteringEqualsDirectConvolutionWithTheSameTaps)
{
    const std::vector<double> in = TestUtil::noise(30011, 3);
    const std::size_t frames = in.size() / 2;
    for (auto [block, size] : {std::pair{4096u, 2048u}, {1048576u, 2048u}, {1000u, 8192u}}) {
        SCOPED_TRACE(testing::Message() << "block " << block << ", transform " << size);
        Owned<> eq(new SoundAlgoEqFFT(SoundTools::BandPass, 2000, 6000, size));
        const std::vector<double> out = TestUtil::runNode(*eq, in, 44100, block).out;
        const std::vector<double>& h = filterOf(*asEq(eq.get()))->getTaps();
        ASSERT_EQ(h.size(), 447u);
        ASSERT_EQ(out.size() / 2, frames);
        const std::size_t lag = 223;
        for (std::size_t p = 0; p < out.size() / 2; ++p) {
            for (int c = 0; c < 2; ++c) {
                double expected = 0.0;
                for (std::size_t j = 0; j < h.size() && j <= p + lag; ++j)
                    if (p + lag - j < frames)
                        expected += h[j] * in[2 * (p + lag - j) + c];
                // Transform rounding only: -240 dB of a 0.5 full-scale signal.
                ASSERT_NEAR(out[2 * p + c], expected, 1e-12) << "frame " << p << " channel " << c;
            }
        }
    }
}

// A grid of edges from 20 Hz to 20 kHz, each type, at 44.1 and 48 kHz: every
// design either meets its bands, measured on the taps by a direct sum (pass
// bands within +-0.5 dB, stop bands below -54 dB, a transition of 0.005 * Fs
// or, where the edges leave less room, half of it), or fails the run with a
// text that says why. The impulse response of the chain is the FIR itself.
TEST(SoundAlgoEqFFT, EveryDesignMeetsItsBandsOrIsRefused)
{
    struct Case {
        SoundTools::FilterType type;
        double f1, f2;
        bool designed; ///< at 44.1 kHz with a transform of 4096
    };
    const Case cases[] = {
        {SoundTools::LowPass, 20, 0, true},
        {SoundTools::LowPass, 200, 0, true},
        {SoundTools::LowPass, 2000, 0, true},
        {SoundTools::LowPass, 20000, 0, true},
        {SoundTools::HighPass, 20, 0, false},
        {SoundTools::HighPass, 100, 0, true},
        {SoundTools::HighPass, 200, 0, true},
        {SoundTools::HighPass, 2000, 0, true},
        {SoundTools::HighPass, 20000, 0, true},
        {SoundTools::BandPass, 20, 200, false},
        {SoundTools::BandPass, 60, 1000, false},
        {SoundTools::BandPass, 200, 2000, true},
        {SoundTools::BandPass, 2000, 20000, true},
        {SoundTools::BandPass, 2000, 30000, true},
        {SoundTools::BandStop, 20, 200, false},
        {SoundTools::BandStop, 60, 1000, true},
        {SoundTools::BandStop, 1000, 3000, true},
        {SoundTools::BandStop, 2000, 20000, true},
        {SoundTools::LowPass, 30000, 0, false},
        {SoundTools::BandStop, 3000, 1000, false},
    };
    const double passDev = 2.0 * (1.0 - std::pow(10.0, -0.025)) * 0.5;
    const double stopMax = 0.002;
    const std::vector<double> impulse = [] {
        std::vector<double> s(2 * 2200, 0.0);
        s[2 * 1100] = s[2 * 1100 + 1] = 1.0;
        return s;
    }();
    for (unsigned rate : {44100u, 48000u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "type " << c.type << " " << c.f1 << "-" << c.f2 << " Hz at " << rate);
            Owned<> eq(new SoundAlgoEqFFT(c.type, c.f1, c.f2, 4096));
            testing::internal::CaptureStderr();
            const RunResult run = TestUtil::runNode(*eq, impulse, rate, 4096);
            const int status = run.status;
            const std::vector<double>& out = run.out;
            testing::internal::GetCapturedStderr();
            if (status != SoundTools::StatusOk) {
                EXPECT_FALSE(c.designed && rate == 44100u) << eq->getError();
                EXPECT_NE(std::string(eq->getError()).find(" Hz"), std::string::npos) << eq->getError();
                continue;
            }
            EXPECT_TRUE(c.designed || rate != 44100u);
            const std::vector<double>& h = filterOf(*asEq(eq.get()))->getTaps();
            ASSERT_LE(h.size(), 2048u);
            // Lined up: the impulse at frame 1100 comes back centred there.
            const long first = 1100 - long(h.size() - 1) / 2;
            for (long i = 0; i < long(out.size() / 2); ++i) {
                const long k = i - first;
                ASSERT_NEAR(out[2 * i], k >= 0 && k < long(h.size()) ? h[k] : 0.0, 1e-14) << "frame " << i;
            }
            expectBands(h, c.type, c.f1 / rate, std::min(c.f2 / rate, 0.5), 0.005, passDev, stopMax);
        }
    }
}

// A transform too short for the taps a design needs is refused with the
// remedy, rather than designed short: 447 taps do not fit in 512 frames.
// A kind the transform cannot design is refused by name.
TEST(SoundAlgoEqFFT, RefusalsSayWhy)
{
    struct Case {
        SoundTools::FilterType type;
        unsigned size;
        const char* text;
    };
    for (const Case& c : {Case{SoundTools::LowPass, 512, "needs 447 taps; a transform of 512 frames holds 256: use a larger transform"},
                          Case{SoundTools::BandEq, 1024, "Unsupported FFT Eq mode : 5"}}) {
        Owned<> eq(new SoundAlgoEqFFT(c.type, 1000, 0, c.size));
        EXPECT_EQ(TestUtil::runNode(*eq, TestUtil::noise(100, 1), 44100, 4096).status, SoundTools::StatusError);
        EXPECT_NE(std::string(eq->getError()).find(c.text), std::string::npos) << eq->getError();
    }
}

// The response is designed for each run's sample rate: the same node run
// at 44100 Hz and then at 22050 Hz places its cut-off at 5000 Hz both times.
TEST(SoundAlgoEqFFT, EachRunDesignsForItsOwnSampleRate)
{
    Owned<> eq(new SoundAlgoEqFFT(SoundTools::LowPass, 5000, 0, 2048));
    const std::vector<double> in = TestUtil::noise(5000, 9);
    for (unsigned rate : {44100u, 22050u}) {
        SCOPED_TRACE(rate);
        TestUtil::runNode(*eq, in, rate, 4096);
        const std::vector<double>& h = filterOf(*asEq(eq.get()))->getTaps();
        EXPECT_NEAR(TestUtil::magnitude(h, 4800.0 / rate), 1.0, 0.03);
        EXPECT_LT(TestUtil::magnitude(h, 5300.0 / rate), 0.002); // -60 dB stop band
    }
}

// Beside a branch with a delay, the composite aligns the equaliser's branch
// and initialises it a second time: the filter must read the spectra of that
// second layout, not the buffer of the first. The sum of the two branches is
// then the sum of the two nodes run alone, aligned as the composite says.
TEST(SoundAlgoEqFFT, KeepsItsInputAcrossTheCompositeAlignmentPass)
{
    const std::vector<double> in = TestUtil::noise(20000, 21);
    Owned<> eqAlone(new SoundAlgoEqFFT(SoundTools::LowPass, 3000, 0, 1024));
    Owned<> firAlone(new SoundAlgoEqFIR(SoundTools::HighPass, 2000, 0));
    const std::vector<double> a = TestUtil::runNode(*eqAlone, in, 44100, 4096).out;
    const std::vector<double> b = TestUtil::runNode(*firAlone, in, 44100, 4096).out;

    auto* branches = new SoundAlgoComposite("pair", true);
    branches->pushAlgo(new SoundAlgoEqFFT(SoundTools::LowPass, 3000, 0, 1024));
    branches->addNewBranch();
    branches->pushAlgo(new SoundAlgoEqFIR(SoundTools::HighPass, 2000, 0));
    Owned<> graph(new SoundAlgoComposite("sum", true));
    auto* outer = dynamic_cast<SoundAlgoComposite*>(graph.get());
    outer->pushAlgo(branches);
    outer->pushAlgo(new SoundAlgoAdd(2, true, nullptr));
    const std::vector<double> sum = TestUtil::runNode(*graph, in, 44100, 4096).out;

    // Both branches are lined up with the input, as each node alone.
    ASSERT_EQ(sum.size(), in.size());
    for (std::size_t i = 0; i < in.size(); ++i)
        ASSERT_NEAR(sum[i], a[i] + b[i], 1e-12) << "frame " << i / 2;
}
