#include "DynamicsTestUtil.h"
#include "SoundAlgoNoiseGate.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace DynamicsTest;

namespace {

constexpr unsigned kRate = 44100;

/// DC stretches: {frames, amplitude}, same on both channels.
std::vector<double> dcSteps(const std::vector<std::pair<int, double>>& steps)
{
    std::vector<double> s;
    for (const auto& st : steps)
        s.insert(s.end(), 2 * size_t(st.first), st.second);
    return s;
}

} // namespace

TEST(SoundAlgoNoiseGate, WindowAndDelayFollowTheRate)
{
    Owned<SoundAlgoNoiseGate> gate(new SoundAlgoNoiseGate());
    EXPECT_EQ(gate->getInOverlap(44100), 13231u) << "13230 made odd";
    EXPECT_EQ(gate->getDelay(44100), 6615u);
    Owned<SoundAlgoNoiseGate> tiny(new SoundAlgoNoiseGate(-30.0, 0.01, 0.0));
    EXPECT_EQ(tiny->getInOverlap(44100), 1u);
    EXPECT_EQ(tiny->getDelay(44100), 0u);
}

TEST(SoundAlgoNoiseGate, ClosesLinearlyAndReopensAtOnce)
{
    // 1 dB above the threshold, then 30 dB below, then above again.
    const double loud = fromDb(-29.0);
    const double quiet = fromDb(-60.0);
    const std::vector<double> in = dcSteps({{40000, loud}, {40000, quiet}, {40000, loud}});
    const int total = int(in.size() / 2);
    const int w = 13231;
    const int delay = 6615;

    // Independent reference of the gate's decision: RMS of the window
    // [k, k + W) from prefix sums, with the padding beyond the end at 0.
    std::vector<long double> prefix(size_t(total) + w + 1, 0.0L);
    for (int i = 0; i < total + w; ++i) {
        const long double v = i < total ? in[2 * size_t(i)] : 0.0;
        prefix[size_t(i) + 1] = prefix[size_t(i)] + v * v;
    }
    auto open = [&](int k) {
        return std::sqrt(double((prefix[size_t(k) + w] - prefix[size_t(k)]) / w)) >= fromDb(-30.0);
    };

    for (unsigned block : {1u << 20, 5000u}) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block);
        BlockSizeGuard guard(block);
        Owned<SoundAlgoNoiseGate> gate(new SoundAlgoNoiseGate(-30.0, 0.01, 0.3));
        const std::vector<double> out = runNode(*gate, in, kRate);
        ASSERT_GE(out.size(), in.size() + 2 * delay) << "the whole input comes out, delayed";

        int firstClosing = -1;
        for (int k = 0; k < total - delay; ++k)
            if (!open(k)) {
                firstClosing = k;
                break;
            }
        ASSERT_GT(firstClosing, 40000 - w);
        ASSERT_LT(firstClosing, 40000);
        // Output frame p holds input frame p - delay times the gate's gain.
        auto gain = [&](int k) { return out[2 * size_t(k + delay)] / in[2 * size_t(k)]; };
        EXPECT_DOUBLE_EQ(gain(firstClosing - 1), 1.0) << "1 dB above the threshold passes unchanged";
        for (int j = 0; j < 441; ++j)
            ASSERT_NEAR(gain(firstClosing + j), 1.0 - (j + 1) / 441.0, 1e-9) << "linear fade, frame " << j;
        EXPECT_EQ(gain(firstClosing + 441), 0.0) << "closed after 10 ms";

        int reopening = -1;
        for (int k = firstClosing; k < total - delay; ++k)
            if (open(k)) {
                reopening = k;
                break;
            }
        ASSERT_GT(reopening, 80000 - w);
        EXPECT_EQ(gain(reopening - 1), 0.0);
        EXPECT_DOUBLE_EQ(gain(reopening), 1.0) << "opens within one frame";
        EXPECT_EQ(out[0], 0.0) << "the first frames are the delay's silence";
    }
}
