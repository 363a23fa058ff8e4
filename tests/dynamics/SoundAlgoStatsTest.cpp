#include "DynamicsTestUtil.h"
#include "SoundAlgoStats.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

using namespace DynamicsTest;
using SoundTools::StereoFrame;

namespace {

constexpr unsigned kRate = 8000;

struct Figures {
    StereoFrame<double> rms{1.0, 1.0};
    double total = 1.0;
    StereoFrame<double> max{1.0, 1.0};
};

Figures statsOf(SoundAlgoStats::OutputType type, const std::vector<double>& signal, double window = 1.0)
{
    Owned<SoundAlgoStats> stats(new SoundAlgoStats(type, window));
    runNode(*stats, signal, kRate);
    Figures f;
    stats->getGlobalStats(f.rms, f.total, f.max);
    return f;
}

/// Runs with the verbose report on and returns what it printed.
std::string reportOf(SoundAlgoStats::OutputType type, const std::vector<double>& signal)
{
    std::ostringstream text;
    SoundDebuggableClass::setOStream(&text);
    SoundDebuggableClass::setVerbose(true);
    Owned<SoundAlgoStats> stats(new SoundAlgoStats(type));
    runNode(*stats, signal, kRate);
    SoundDebuggableClass::setVerbose(false);
    SoundDebuggableClass::setOStream(&std::cout);
    return text.str();
}

} // namespace

TEST(SoundAlgoStats, FullScaleSquareWaveAndSilence)
{
    std::vector<double> square;
    for (int i = 0; i < 8000; ++i) {
        const double v = (i / 20) % 2 ? -1.0 : 1.0;
        square.push_back(v);
        square.push_back(-v);
    }
    for (auto type : {SoundAlgoStats::RMSAndStats, SoundAlgoStats::StatsOnly}) {
        SCOPED_TRACE(testing::Message() << "type " << type);
        const Figures f = statsOf(type, square);
        EXPECT_NEAR(f.rms.left, 0.0, 1e-12);
        EXPECT_NEAR(f.rms.right, 0.0, 1e-12);
        EXPECT_NEAR(f.total, 0.0, 1e-12);
        EXPECT_EQ(f.max.left, 0.0);
        EXPECT_EQ(f.max.right, 0.0);

        const Figures s = statsOf(type, std::vector<double>(16000, 0.0));
        EXPECT_EQ(s.rms.left, -100.0);
        EXPECT_EQ(s.rms.right, -100.0);
        EXPECT_EQ(s.total, -100.0);
        EXPECT_EQ(s.max.left, -100.0);
        EXPECT_EQ(s.max.right, -100.0);
    }
    const Figures none = statsOf(SoundAlgoStats::RMSOnly, square);
    EXPECT_EQ(none.total, 1.0) << "RMSOnly counts nothing: the figures are left as they were";

    Owned<SoundAlgoStats> statsOnly(new SoundAlgoStats(SoundAlgoStats::StatsOnly, 3.0));
    EXPECT_EQ(statsOnly->getInOverlap(48000), 1u) << "no window";
    EXPECT_EQ(statsOnly->getDelay(48000), 0u);
    EXPECT_EQ(runNode(*statsOnly, square, kRate), square) << "passes its input through";
}

TEST(SoundAlgoStats, WholeRunFiguresMatchADirectComputation)
{
    // One second at 8000 Hz with a 1 s window: the node's delay (4000 frames
    // of leading silence) would weigh a third of the run if it were counted.
    std::mt19937 random(3);
    std::normal_distribution<double> gauss(0.0, 0.1);
    std::vector<double> signal;
    double sumL = 0, sumR = 0, peakL = 0, peakR = 0;
    for (int i = 0; i < 8000; ++i) {
        const double l = gauss(random), r = 0.5 * gauss(random);
        signal.push_back(l);
        signal.push_back(r);
        sumL += l * l;
        sumR += r * r;
        peakL = std::max(peakL, std::fabs(l));
        peakR = std::max(peakR, std::fabs(r));
    }
    for (auto type : {SoundAlgoStats::RMSAndStats, SoundAlgoStats::StatsOnly}) {
        for (unsigned block : {1u << 20, 3001u}) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", blocks of " << block);
            BlockSizeGuard guard(block);
            const Figures f = statsOf(type, signal);
            EXPECT_NEAR(f.rms.left, 10 * std::log10(sumL / 8000), 1e-9);
            EXPECT_NEAR(f.rms.right, 10 * std::log10(sumR / 8000), 1e-9);
            EXPECT_NEAR(f.total, 10 * std::log10((sumL + sumR) / 16000), 1e-9);
            EXPECT_NEAR(f.max.left, 20 * std::log10(peakL), 1e-12);
            EXPECT_NEAR(f.max.right, 20 * std::log10(peakR), 1e-12);
        }
    }
}

TEST(SoundAlgoStats, SlidingRmsIsCentredAndNeverNaN)
{
    // Loud noise then digital silence: the running window sum ends a few ulps
    // below 0 on this material, which must not reach the square root.
    std::mt19937 random(2);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> signal;
    for (int i = 0; i < 16000; ++i) {
        signal.push_back(i < 8000 ? uniform(random) : 0.0);
        signal.push_back(i < 8000 ? 0.25 * uniform(random) : 0.0);
    }
    const int w = 1601; // 0.2 s made odd
    const int half = 800;
    // Precondition, in the node's order over a single block: the full sum of
    // the first window (behind 800 frames of leading silence), then one add
    // and one subtract per frame.
    double running = 0.0;
    double lowest = 0.0;
    auto left = [&](int i) { return i < 0 || i >= 16000 ? 0.0 : signal[2 * size_t(i)]; };
    for (int k = -half; k < 16000 - w; ++k) {
        if (k == -half)
            for (int j = 0; j < w; ++j)
                running += left(k + j) * left(k + j);
        else
            running += left(k + w - 1) * left(k + w - 1);
        lowest = std::min(lowest, running);
        running -= left(k) * left(k);
    }
    ASSERT_LT(lowest, 0.0);
    std::vector<long double> prefix(16000 + 1, 0.0L);
    for (int i = 0; i < 16000; ++i)
        prefix[size_t(i) + 1] = prefix[size_t(i)] + (long double)signal[2 * size_t(i)] * signal[2 * size_t(i)];
    for (unsigned block : {1u << 20, 2500u}) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block);
        BlockSizeGuard guard(block);
        Owned<SoundAlgoStats> stats(new SoundAlgoStats(SoundAlgoStats::RMSOnly, 0.2));
        EXPECT_EQ(stats->getDelay(kRate), unsigned(half));
        const std::vector<double> out = runNode(*stats, signal, kRate);
        ASSERT_GE(out.size(), signal.size());
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

TEST(SoundAlgoStats, VerboseReport)
{
    std::vector<double> half(2 * 8000, 0.5);
    EXPECT_EQ(reportOf(SoundAlgoStats::StatsOnly, half), "Stats :\n"
                                                         "\tRMS\t= -6.02 dB\n"
                                                         " \tRMS Left\t= -6.02 dB\n"
                                                         "\tRMS Right\t= -6.02 dB\n"
                                                         "\tMax Left\t= -6.02 dB\n"
                                                         "\tMax Right\t= -6.02 dB\n");
    EXPECT_EQ(reportOf(SoundAlgoStats::StatsOnly, {}), "Stats :\n"
                                                      "\tRMS\t= -100.00 dB\n"
                                                      " \tRMS Left\t= -100.00 dB\n"
                                                      "\tRMS Right\t= -100.00 dB\n"
                                                      "\tMax Left\t= -100.00 dB\n"
                                                      "\tMax Right\t= -100.00 dB\n")
        << "no frame counted";
    EXPECT_EQ(reportOf(SoundAlgoStats::RMSOnly, half), "");
}
