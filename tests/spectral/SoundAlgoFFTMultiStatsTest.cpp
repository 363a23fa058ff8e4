#include "TestUtil.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTMultiStats.h"
#include "SoundAlgoStats.h"

using namespace TestUtil;

namespace {

double db(double linear)
{
    return 20.0 * std::log10(linear);
}

} // namespace

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
    ASSERT_NE(multi->GetStats(0), nullptr);
    ASSERT_NE(multi->GetStats(1), nullptr);
    EXPECT_NE(multi->GetStats(0), multi->GetStats(1));
    EXPECT_EQ(multi->GetStats(2), nullptr);

    SoundTools::StereoFrame<double> low{}, high{}, lowPeak{}, highPeak{};
    multi->GetStats(0)->getRMS(low);
    multi->GetStats(1)->getRMS(high);
    multi->GetStats(0)->getMax(lowPeak);
    multi->GetStats(1)->getMax(highPeak);
    // Pass-band ripple +-0.25 dB; the few thousand frames of tail after the
    // 8 s lower the RMS by under 0.05 dB.
    EXPECT_NEAR(low.left, db(0.5 / std::sqrt(2.0)), 0.3);
    EXPECT_NEAR(high.left, db(0.1 / std::sqrt(2.0)), 0.3);
    EXPECT_NEAR(high.right, db(0.25 / std::sqrt(2.0)), 0.3);
    EXPECT_LT(low.right, db(0.25) - 55);
    EXPECT_NEAR(lowPeak.left, db(0.5), 0.3);
    EXPECT_NEAR(highPeak.right, db(0.25), 0.3);
}

// Always a transform of 8192, one band per crossover plus one; no
// crossover leaves no band.
TEST(SoundAlgoFFTMultiStats, BuildsOneBandPerCrossoverPlusOne)
{
    std::vector<double> crossovers{500.0, 2000.0}, none;
    Owned<SoundAlgoFFTMultiStats> multi(new SoundAlgoFFTMultiStats(crossovers, 1024, true));
    auto* direct = dynamic_cast<SoundAlgoFFTDirectCompute*>(multi->getBranch(0).at(0));
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(direct->getSize(), 8192u);
    EXPECT_EQ(multi->getBandNumber(), 3u);
    Owned<SoundAlgoFFTMultiStats> empty(new SoundAlgoFFTMultiStats(none, 0, false));
    EXPECT_EQ(empty->getBandNumber(), 0u);
    EXPECT_EQ(empty->getBranchNumber(), 0u);
}
