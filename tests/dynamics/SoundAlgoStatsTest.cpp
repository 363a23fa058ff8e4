// Level figures of a run against a direct computation and the sliding RMS; the noise gate's fall and rise.

#include "TestUtil.h"

#include "SoundAlgoBandMeter.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoStats.h"

#include <array>
#include <random>

using namespace TestUtil;

namespace {

constexpr unsigned kRate = 8000;
using Figures = std::array<double, 5>; // RMS left, right, total; peak left, right (dB)

/// The whole-run figures of `stats`; each starts at 1.0, which a run that counts nothing leaves.
Figures figuresOf(SoundAlgoStats& stats)
{
    SoundTools::StereoFrame<double> rms{1.0, 1.0}, max{1.0, 1.0};
    double total = 1.0;
    stats.getGlobalStats(rms, total, max);
    return {rms.left, rms.right, total, max.left, max.right};
}

Figures statsOf(SoundAlgoStats::OutputType type, const std::vector<double>& signal)
{
    Owned<SoundAlgoStats> stats(new SoundAlgoStats(type));
    runNode(*stats, signal, kRate);
    return figuresOf(*stats);
}

/// Figures computed directly from the samples.
Figures reference(const std::vector<double>& s)
{
    double sumL = 0, sumR = 0, peakL = 0, peakR = 0;
    for (size_t i = 0; i < s.size(); i += 2) {
        sumL += s[i] * s[i];
        sumR += s[i + 1] * s[i + 1];
        peakL = std::max(peakL, std::fabs(s[i]));
        peakR = std::max(peakR, std::fabs(s[i + 1]));
    }
    const double frames = double(s.size() / 2);
    return {10 * std::log10(sumL / frames), 10 * std::log10(sumR / frames),
            10 * std::log10((sumL + sumR) / (2 * frames)), 20 * std::log10(peakL), 20 * std::log10(peakR)};
}

} // namespace

TEST(SoundAlgoStats, WholeRunFiguresMatchADirectComputation)
{
    // Full-scale square wave (0 dB), digital silence (-100 dB floor) and Gaussian noise. One second
    // with a 1 s window: the node's delay (4000 frames of leading silence) would weigh a third if counted.
    std::vector<double> square, gaussian;
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0.0, 0.1);
    for (int i = 0; i < 8000; ++i) {
        const double v = (i / 20) % 2 ? -1.0 : 1.0;
        square.insert(square.end(), {v, -v});
        const double l = gauss(random), r = 0.5 * gauss(random);
        gaussian.insert(gaussian.end(), {l, r});
    }
    const struct {
        const char* name;
        std::vector<double> signal;
        Figures want;
        double rmsTolerance, peakTolerance;
    } cases[] = {{"square", square, Figures{}, 1e-12, 0.0},
                 {"silence", std::vector<double>(16000, 0.0), Figures{-100, -100, -100, -100, -100}, 0.0, 0.0},
                 {"gaussian", gaussian, reference(gaussian), 1e-9, 1e-12}};
    for (const auto& c : cases)
        for (auto type : {SoundAlgoStats::RMSAndStats, SoundAlgoStats::StatsOnly})
            for (unsigned block : {1u << 20, 3001u}) {
                SCOPED_TRACE(testing::Message() << c.name << ", type " << type << ", blocks of " << block);
                BlockSizeGuard guard(block);
                const Figures f = statsOf(type, c.signal);
                for (int i = 0; i < 5; ++i)
                    EXPECT_NEAR(f[i], c.want[i], i < 3 ? c.rmsTolerance : c.peakTolerance) << "figure " << i;
            }
    EXPECT_EQ(statsOf(SoundAlgoStats::RMSOnly, square)[2], 1.0) << "RMSOnly counts nothing";

    Owned<SoundAlgoStats> statsOnly(new SoundAlgoStats(SoundAlgoStats::StatsOnly, 3.0));
    EXPECT_EQ(runNode(*statsOnly, square, kRate).out, square) << "passes its input through";
}

TEST(SoundAlgoStats, SlidingRmsIsCentredAndNeverNaN)
{
    // Loud noise then digital silence: the running window sum ends a few ulps below 0.
    const std::vector<double> signal = noiseThenSilence(16000, 0.25);
    const int w = 1601, half = 800; // 0.2 s made odd
    // Precondition in the node's order over one block, the first window behind 800 frames of silence.
    auto left = [&](int i) { return i < 0 || i >= 16000 ? 0.0 : signal[2 * size_t(i)]; };
    ASSERT_LT(lowestRunningSum(left, -half, 16000 - w, w), 0.0);
    std::vector<long double> prefix(16000 + 1, 0.0L);
    for (int i = 0; i < 16000; ++i)
        prefix[size_t(i) + 1] = prefix[size_t(i)] + (long double)signal[2 * size_t(i)] * signal[2 * size_t(i)];
    for (unsigned block : {1u << 20, 2500u}) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block);
        BlockSizeGuard guard(block);
        Owned<SoundAlgoStats> stats(new SoundAlgoStats(SoundAlgoStats::RMSOnly, 0.2));
        EXPECT_EQ(stats->getDelay(kRate), unsigned(half));
        const std::vector<double> out = runNode(*stats, signal, kRate).out;
        ASSERT_EQ(out.size(), signal.size()) << "lined up, nothing added";
        for (double v : out)
            ASSERT_FALSE(std::isnan(v));
        // Output frame p is the RMS of input frames p - 800 ... p + 800.
        for (int p : {1000, 4321, 7000, 7999 - half}) {
            const double expected = std::sqrt(double((prefix[size_t(p + half + 1)] - prefix[size_t(p - half)]) / w));
            EXPECT_NEAR(out[2 * size_t(p)], expected, 1e-9) << "frame " << p;
        }
        EXPECT_LT(out[2 * 12000], 1e-6);
        EXPECT_EQ(stats->getFrameCount(), 0u);
    }
}

// The band meter keeps its window in a ring instead of the graph's history: lined up by the run, its
// sliding RMS and whole-run figures are those of SoundAlgoStats, whatever the blocks, smaller than the
// window included.
TEST(SoundAlgoBandMeter, MeasuresAsSoundAlgoStatsAtAnyBlockSize)
{
    const std::vector<double> signal = noiseThenSilence(16000, 0.25);
    const auto squared = [](std::vector<double> v) {
        for (double& x : v)
            x *= x;
        return v;
    };
    Owned<SoundAlgoStats> stats(new SoundAlgoStats(SoundAlgoStats::RMSAndStats, 0.2));
    const std::vector<double> want = runNode(*stats, signal, kRate, 1u << 20).out;
    ASSERT_EQ(want.size(), signal.size());
    for (unsigned block : {1u << 20, 2500u, 700u}) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block);
        Owned<SoundAlgoBandMeter> meter(new SoundAlgoBandMeter(0.2));
        const std::vector<double> out = runNode(*meter, signal, kRate, block).out;
        ASSERT_EQ(out.size(), signal.size()) << "lined up, nothing added";
        // Compared as mean squares: past the noise both sums are rounding residues, which the square
        // root blows up to 1e-8.
        expectFrames(squared(out), squared(want), signal.size() / 2, false, "sliding mean square", 1e-12);
        EXPECT_EQ(meter->getFrameCount(), 16000u);
        const Figures got = figuresOf(*meter), reference = figuresOf(*stats);
        for (int i = 0; i < 5; ++i)
            EXPECT_NEAR(got[i], reference[i], 1e-12) << "figure " << i;
    }
}

TEST(SoundAlgoNoiseGate, ClosesLinearlyAndReopensAtOnce)
{
    // DC 1 dB above the -30 dB threshold, then 30 dB below, then above again.
    std::vector<double> in;
    for (double db : {-29.0, -60.0, -29.0})
        in.insert(in.end(), 2 * 40000, fromDb(db));
    const int total = int(in.size() / 2), w = 13231, delay = 6615;

    // Independent reference of the gate's decision: RMS of the window [k, k + W) from prefix sums,
    // with the padding beyond the end at 0.
    std::vector<long double> prefix(size_t(total) + w + 1, 0.0L);
    for (int i = 0; i < total + w; ++i) {
        const long double v = i < total ? in[2 * size_t(i)] : 0.0;
        prefix[size_t(i) + 1] = prefix[size_t(i)] + v * v;
    }
    auto open = [&](int k) {
        return std::sqrt(double((prefix[size_t(k) + w] - prefix[size_t(k)]) / w)) >= fromDb(-30.0);
    };
    auto firstFrom = [&](int k, bool wanted) {
        while (k < total - delay && open(k) != wanted)
            ++k;
        return k;
    };
    const int closing = firstFrom(0, false), reopening = firstFrom(closing, true);
    ASSERT_GT(closing, 40000 - w);
    ASSERT_LT(closing, 40000);
    ASSERT_GT(reopening, 80000 - w);
    ASSERT_LT(reopening, total - delay);

    for (unsigned block : {1u << 20, 5000u}) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block);
        BlockSizeGuard guard(block);
        Owned<SoundAlgoNoiseGate> gate(new SoundAlgoNoiseGate(-30.0, 0.01, 0.3));
        EXPECT_EQ(gate->getInOverlap(44100), unsigned(w)) << "13230 made odd";
        EXPECT_EQ(gate->getDelay(44100), unsigned(delay));
        const std::vector<double> out = runNode(*gate, in, 44100).out;
        ASSERT_EQ(out.size(), in.size()) << "the whole input comes out, lined up";

        // Output frame p holds input frame p times the gate's gain.
        auto gain = [&](int k) { return out[2 * size_t(k)] / in[2 * size_t(k)]; };
        EXPECT_DOUBLE_EQ(gain(closing - 1), 1.0) << "1 dB above the threshold passes unchanged";
        for (int j = 0; j < 441; ++j)
            ASSERT_NEAR(gain(closing + j), 1.0 - (j + 1) / 441.0, 1e-9) << "linear fade, frame " << j;
        EXPECT_EQ(gain(closing + 441), 0.0) << "closed after 10 ms";
        EXPECT_EQ(gain(reopening - 1), 0.0);
        EXPECT_DOUBLE_EQ(gain(reopening), 1.0) << "opens within one frame";
    }
}
