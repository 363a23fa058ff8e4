#include "TestUtil.h"
#include "SoundAlgoNoiseGate.h"

using namespace TestUtil;

TEST(SoundAlgoNoiseGate, ClosesLinearlyAndReopensAtOnce)
{
    // DC 1 dB above the -30 dB threshold, then 30 dB below, then above again.
    std::vector<double> in;
    for (double db : {-29.0, -60.0, -29.0})
        in.insert(in.end(), 2 * 40000, fromDb(db));
    const int total = int(in.size() / 2), w = 13231, delay = 6615;
    Owned<SoundAlgoNoiseGate> tiny(new SoundAlgoNoiseGate(-30.0, 0.01, 0.0));
    EXPECT_EQ(tiny->getInOverlap(44100), 1u);
    EXPECT_EQ(tiny->getDelay(44100), 0u);

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
