#include "TestUtil.h"

#include "SoundAutocorrelStats.h"

using namespace TestUtil;

namespace {

std::vector<double> cosine(unsigned frames, double period, double amplitude)
{
    std::vector<double> s(2 * std::size_t(frames));
    for (unsigned i = 0; i < frames; ++i)
        s[2 * i] = s[2 * i + 1] = amplitude * std::cos(2.0 * M_PI * i / period);
    return s;
}

} // namespace

// A cosine of period 100 (what the autocorrelation of a sine looks like)
// gives a sine of period 100 in both channels, continuous over the blocks
// of 1024 frames; a second run goes on from the phase the first left.
TEST(SoundAutocorrelStats, FindsThePeriodOfACosine)
{
    Owned<> stats(new SoundAutocorrelStats(0));
    EXPECT_STREQ(stats->getName(), "SoundAutocorrelStats");
    const unsigned frames = 4950; // 49.5 periods: the next run starts half a turn on
    const std::vector<double> in = cosine(frames, 100.0, 0.8);
    const std::vector<double> first = TestUtil::runNode(*stats, in).out;
    ASSERT_EQ(first.size(), in.size());
    for (unsigned i = 0; i < frames; ++i) {
        // Phase summed step by step: far below 1e-9 of error over 5000 steps.
        ASSERT_NEAR(first[2 * i], std::sin(2.0 * M_PI * i / 100.0), 1e-9) << "frame " << i;
        ASSERT_EQ(first[2 * i + 1], first[2 * i]) << "frame " << i;
    }
    const std::vector<double> second = TestUtil::runNode(*stats, in).out;
    for (unsigned i = 0; i < frames; ++i)
        ASSERT_NEAR(second[2 * i], -first[2 * i], 1e-9) << "frame " << i;
    EXPECT_TRUE(dynamic_cast<SoundAutocorrelStats*>(stats.get())->GetToneList().empty());
}

// A length that is a multiple of 1024 ends with an empty block, which
// resets the phase; a quiet block (never above 0.01) outputs silence.
TEST(SoundAutocorrelStats, EmptyAndQuietBlocksResetThePhase)
{
    Owned<> stats(new SoundAutocorrelStats(0));
    const std::vector<double> in = cosine(2048, 100.0, 0.5);
    const std::vector<double> first = TestUtil::runNode(*stats, in).out;
    const std::vector<double> second = TestUtil::runNode(*stats, in).out;
    EXPECT_EQ(first, second);

    const std::vector<double> quiet = TestUtil::runNode(*stats, cosine(3000, 100.0, 0.009)).out;
    for (double v : quiet)
        ASSERT_EQ(v, 0.0);
}
