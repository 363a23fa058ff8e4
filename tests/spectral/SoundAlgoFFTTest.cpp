// The transform nodes in runs: forward and inverse give back their input, the FFT equaliser is the direct
// convolution with its designed taps and meets its bands or refuses, and band statistics see each band alone.
#include "TestUtil.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoEqFFT.h"
#include "SoundAlgoEqFIR.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundAlgoFFTMultiStats.h"
#include "SoundAlgoStats.h"

#include <utility>

using namespace TestUtil;

namespace {

/// A forward and an inverse transform in series: a chain that should give
/// back its input.
SoundAlgoComposite* makeRoundTrip(unsigned size, bool zeroPadded, SoundAlgoFFTInverseCompute::Mode mode,
                                  bool behindNode = false)
{
    auto* chain = new SoundAlgoComposite("round trip", true);
    if (behindNode)
        chain->pushAlgo(new SoundAlgoBypass()); // the end of the stream comes from the sample shift alone
    chain->pushAlgo(new SoundAlgoFFTDirectCompute(size, zeroPadded));
    chain->pushAlgo(new SoundAlgoFFTInverseCompute(mode));
    return chain;
}

// Double-precision transforms and back: anything above -240 dB of the
// signal is a lost, repeated or misplaced frame, not rounding.
constexpr double sRoundTripTolerance = 1e-12;

void expectReproduces(const std::vector<double>& in, const std::vector<double>& out, unsigned hop)
{
    const std::size_t frames = in.size() / 2;
    // The input, then a tail of silence shorter than two hops.
    ASSERT_GE(out.size(), in.size()) << "frames lost at the end";
    EXPECT_LT(out.size() / 2, frames + 2 * hop);
    std::size_t firstBad = frames;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (std::fabs(out[i] - in[i]) > sRoundTripTolerance) {
            firstBad = i / 2;
            break;
        }
    }
    EXPECT_EQ(firstBad, frames) << "first wrong frame";
    for (std::size_t i = in.size(); i < out.size(); ++i)
        ASSERT_NEAR(out[i], 0.0, sRoundTripTolerance) << "padding frame " << i / 2;
}

} // namespace

// Blocks that are and are not multiples of the hop, inputs shorter than one
// hop, and lengths that leave a partial hop at the end: every frame must come
// back once, at its own position.
TEST(SoundAlgoFFTInverseCompute, RoundTripsReproduceTheInputForAnyBlockAndLength)
{
    struct Case {
        unsigned size;
        bool zeroPadded;
        SoundAlgoFFTInverseCompute::Mode mode;
        bool behindNode;
    };
    const Case cases[] = {{1024, true, SoundAlgoFFTInverseCompute::OverlapAdd, false},
                          {1000, false, SoundAlgoFFTInverseCompute::Plain, false},
                          {512, true, SoundAlgoFFTInverseCompute::OverlapAdd, true}};
    const unsigned blocks[] = {4096, 44100, 1048576};
    const unsigned lengths[] = {300, 4096 * 3 + 17, 44100 * 2 + 333, 1048576 + 1001};
    for (const Case& c : cases) {
        for (unsigned block : blocks) {
            for (unsigned length : lengths) {
                if ((block == 1048576 && length < 44100) || (c.behindNode && block != 4096))
                    continue; // one block either way, or nothing new to learn
                SCOPED_TRACE(testing::Message() << "size " << c.size << (c.zeroPadded ? " padded" : " plain")
                                                << (c.behindNode ? " behind a node" : "")
                                                << ", block " << block << ", length " << length);
                const std::vector<double> in = TestUtil::noise(length, length + block);
                Owned<> chain(makeRoundTrip(c.size, c.zeroPadded, c.mode, c.behindNode));
                const RunResult run = TestUtil::runNode(*chain, in, 44100, block);
                EXPECT_EQ(run.status, 0);
                expectReproduces(in, run.out, c.zeroPadded ? c.size / 2 : c.size);
            }
        }
    }
}

// A later run with another transform size reallocates what the first run
// sized, and still reproduces its input; the overlap-add tail of one run
// must not reach the start of the next (run again at the same size).
TEST(SoundAlgoFFTInverseCompute, EachRunStartsFromSilenceWhateverTheSize)
{
    // The creator's reference keeps the node across the composites.
    auto* inverse = new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::OverlapAdd);
    const std::vector<double> in = TestUtil::noise(20000, 11);
    for (unsigned size : {256u, 2048u, 2048u}) {
        SCOPED_TRACE(size);
        auto* chain = new SoundAlgoComposite("resize", true);
        chain->pushAlgo(new SoundAlgoFFTDirectCompute(size, true));
        inverse->addReference();
        chain->pushAlgo(inverse);
        Owned<> holder(chain);
        expectReproduces(in, TestUtil::runNode(*chain, in, 44100, 4096).out, size / 2);
        EXPECT_EQ(inverse->getSize(), size);
    }
    inverse->releaseReference();
}

TEST(SoundAlgoFFTInverseCompute, FailsWithoutFeedOrWithATooSmallTransform)
{
    Owned<> inverse(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::Plain));
    EXPECT_EQ(inverse->initProcess(44100, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_STRNE(inverse->getError(), "");

    // A size of 1 rounds down to 0: no hop to advance by.
    Owned<> chain(makeRoundTrip(1, false, SoundAlgoFFTInverseCompute::Plain));
    EXPECT_EQ(TestUtil::runNode(*chain, TestUtil::noise(100, 1), 44100, 4096).status, SoundTools::StatusError);
    EXPECT_STRNE(chain->getError(), "");
    // Modes out of range behave as the nearest one.
    using Inverse = SoundAlgoFFTInverseCompute;
    EXPECT_EQ(Owned<Inverse>(new Inverse(static_cast<Inverse::Mode>(-3)))->getMode(), Inverse::Plain);
    EXPECT_EQ(Owned<Inverse>(new Inverse(static_cast<Inverse::Mode>(7)))->getMode(), Inverse::Autocorrelation);
}

namespace {

/// The taps the equaliser designed for its last run (its one branch: forward transform, filter, inverse).
const std::vector<double>& tapsOf(SoundAlgo* node)
{
    return dynamic_cast<SoundAlgoFFTFilter*>(dynamic_cast<SoundAlgoEqFFT*>(node)->getBranch(0).at(1))->getTaps();
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
        const std::vector<double>& h = tapsOf(eq.get());
        ASSERT_EQ(out.size() / 2, frames);
        const std::size_t lag = (h.size() - 1) / 2;
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
            const std::vector<double>& out = run.out;
            testing::internal::GetCapturedStderr();
            if (run.status != SoundTools::StatusOk) {
                EXPECT_FALSE(c.designed && rate == 44100u) << eq->getError();
                EXPECT_NE(std::string(eq->getError()).find(" Hz"), std::string::npos) << eq->getError();
                continue;
            }
            EXPECT_TRUE(c.designed || rate != 44100u);
            const std::vector<double>& h = tapsOf(eq.get());
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
        const std::vector<double>& h = tapsOf(eq.get());
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

// Two tones on either side of a 1000 Hz crossover land in their own bands:
// RMS and peak of each band match the tone, and the other band sees it
// below the -60 dB stop band.
TEST(SoundAlgoFFTMultiStats, MeasuresEachBandOnItsOwn)
{
    const unsigned rate = 44100, frames = rate * 8;
    std::vector<double> in(2 * frames);
    for (unsigned i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        in[2 * i] = 0.5 * std::sin(2 * M_PI * 200 * t) + 0.1 * std::sin(2 * M_PI * 5000 * t);
        in[2 * i + 1] = 0.25 * std::sin(2 * M_PI * 5000 * t);
    }
    std::vector<double> crossovers{1000.0};
    auto* multi = new SoundAlgoFFTMultiStats(crossovers, 0, true);
    Owned<> holder(multi);
    TestUtil::runNode(*multi, in);
    // One band per crossover plus one.
    ASSERT_NE(multi->GetStats(0), nullptr);
    ASSERT_NE(multi->GetStats(1), nullptr);
    EXPECT_EQ(multi->GetStats(2), nullptr);

    SoundTools::StereoFrame<double> low{}, high{}, lowPeak{}, highPeak{};
    multi->GetStats(0)->getRMS(low);
    multi->GetStats(1)->getRMS(high);
    multi->GetStats(0)->getMax(lowPeak);
    multi->GetStats(1)->getMax(highPeak);
    // Pass-band ripple +-0.25 dB; the few thousand frames of tail after the
    // 8 s lower the RMS by under 0.05 dB.
    EXPECT_NEAR(low.left, toDb(0.5 / std::sqrt(2.0)), 0.3);
    EXPECT_NEAR(high.left, toDb(0.1 / std::sqrt(2.0)), 0.3);
    EXPECT_NEAR(high.right, toDb(0.25 / std::sqrt(2.0)), 0.3);
    EXPECT_LT(low.right, toDb(0.25) - 55);
    EXPECT_NEAR(lowPeak.left, toDb(0.5), 0.3);
    EXPECT_NEAR(highPeak.right, toDb(0.25), 0.3);
    // No crossover leaves no band.
    std::vector<double> none;
    EXPECT_EQ(Owned<SoundAlgoFFTMultiStats>(new SoundAlgoFFTMultiStats(none, 0, false))->getBandNumber(), 0u);
}

// A tone burst in the first or the last 0.3 s of a recording weighs the same in its band, whatever the
// blocks, and a recording shorter than the meters' 1 s window is measured too: every frame of the stream
// is counted, the end included, and no more frames than it has.
TEST(SoundAlgoFFTMultiStats, CountsTheWholeStreamAtAnyBlockSize)
{
    const unsigned rate = 44100, burst = 3 * rate / 10;
    const std::vector<double> tone = TestUtil::tone(burst, 1000.0, rate, 0.5);
    const struct {
        const char* name;
        unsigned frames, toneAt;
    } cases[] = {{"burst at the start", 2 * rate, 0}, {"burst at the end", 2 * rate, 2 * rate - burst}, {"burst alone", burst, 0}};
    std::vector<double> longRms;
    for (const auto& c : cases)
        for (unsigned block : {4096u, 50000u}) {
            SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << block);
            std::vector<double> in(2 * std::size_t(c.frames), 0.0);
            std::copy(tone.begin(), tone.end(), in.begin() + 2 * std::ptrdiff_t(c.toneAt));
            std::vector<double> crossovers{250.0, 2000.0};
            auto* multi = new SoundAlgoFFTMultiStats(crossovers, 0, true);
            Owned<> holder(multi);
            ASSERT_EQ(runNode(*multi, in, rate, block).status, SoundTools::StatusOk);
            SoundTools::StereoFrame<double> rms{};
            multi->GetStats(1)->getRMS(rms);
            EXPECT_EQ(multi->GetStats(1)->getFrameCount(), c.frames);
            // The pass band at 1 kHz: the tone's mean square over the stream, within the ripple.
            EXPECT_NEAR(rms.left, toDb(0.5 / std::sqrt(2.0)) + 10 * std::log10(double(burst) / c.frames), 0.3);
            if (c.frames > burst)
                longRms.push_back(rms.left);
        }
    for (double v : longRms)
        EXPECT_NEAR(v, longRms.front(), 1e-9);
}
