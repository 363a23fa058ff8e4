// Filter nodes in a run: the same output as their kernels whatever the blocks and live changes.

#include "BiquadEqBuilder.h"
#include "TestUtil.h"
#include "Order1FilterBuilder.h"
#include "SoundAlgoFilter.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoFilterSplit.h"
#include "WeightingFilterBuilder.h"

using namespace SoundTools;
using namespace TestUtil;

namespace {

constexpr unsigned kRate = 48000;

struct Band {
    FilterType type;
    double freq, width, gain;
};

std::shared_ptr<Filter> kernel(const Band& b)
{
    return BiquadEqBuilder(b.type, b.freq, b.width, b.gain).buildFilter(kRate);
}

/// Runs `kernels` one after the other over frames [from, to) of `x`, in place.
void cascade(const std::vector<std::shared_ptr<Filter>>& kernels, std::vector<double>& x, std::size_t from,
             std::size_t to)
{
    for (const auto& k : kernels)
        k->filter(frames(x) + from, frames(x) + from, static_cast<unsigned>(to - from));
}

/// What the writer receives from `node` run over `signal` by the processing loop in blocks of `blockFrames`.
std::vector<double> runLoop(SoundAlgo& node, const std::vector<double>& signal, unsigned blockFrames)
{
    const RunResult r = runNode(node, signal, kRate, blockFrames);
    EXPECT_EQ(r.status, StatusOk) << r.error;
    return r.out;
}

const Band kEq[] = {{BandEq, 1000, 1.0, 6.0}, {LowShelf, 200, 0.8, -4.0}, {HighPass, 40, 1.9, 0.0}};

SoundAlgoFilterBiquad* makeEq()
{
    auto* eq = new SoundAlgoFilterBiquad();
    for (const Band& b : kEq)
        eq->pushFilter(b.type, b.freq, b.width, b.gain);
    return eq;
}

} // namespace

TEST(SoundAlgoFilter, LoopOutputEqualsTheKernelsOverTheWholeSignal)
{
    const std::vector<double> x = noise(20000, 11);
    Owned<SoundAlgoFilterBiquad> eq(makeEq()), eqGained(makeEq());
    eqGained->setOutputGain(6.0);
    std::vector<double> want = x;
    cascade({kernel(kEq[0]), kernel(kEq[1]), kernel(kEq[2])}, want, 0, 20000);
    // Blocks of 4096 frames: the state crosses four block boundaries.
    EXPECT_EQ(runLoop(*eq, x, 4096), want);
    // The output gain scales what is written, not the recursion.
    const std::vector<double> gained = runLoop(*eqGained, x, 3000);
    ASSERT_EQ(gained.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(gained[i], want[i] * fromDb(6.0)) << "sample " << i;
    // A second run starts again from zero state.
    EXPECT_EQ(runLoop(*eq, x, 1 << 20), want);
}

TEST(SoundAlgoFilter, MixedCascadeAcrossUnevenBlocks)
{
    QtLogCapture quiet;
    const std::vector<double> x = noise(9000, 12);
    auto order1 = std::make_shared<Order1FilterBuilder>(HighPass, 30.0);
    auto weighting = std::make_shared<WeightingFilterBuilder>();
    Owned<SoundAlgoFilter> node(new SoundAlgoFilter(order1));
    node->pushFilter(weighting);
    node->pushFilter(std::make_shared<BiquadEqBuilder>(BandEq, 3000, 1, -5));
    node->setOutputGain(-2.0);
    const auto out = runBlocks(*node, {x}, {1, 4000, 0, 17, 2500, 0, 2482}, kRate);

    std::vector<double> want = x;
    auto last = BiquadEqBuilder(BandEq, 3000, 1, -5).buildFilter(kRate);
    last->setGain(fromDb(-2.0));
    cascade({order1->buildFilter(kRate), weighting->buildFilter(kRate), last}, want, 0, 9000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], want);
}

TEST(SoundAlgoFilter, WithoutStageTheRunFails)
{
    Owned<SoundAlgoFilter> node(new SoundAlgoFilter());
    EXPECT_EQ(node->initProcess(kRate, 2, 0, nullptr, nullptr), StatusError);
    EXPECT_NE(std::string(node->getError()).find("SoundAlgoFilter"), std::string::npos);
}

TEST(SoundAlgoFilterSplit, OutputsAddUpToTheGainedInput)
{
    const std::vector<double> x = noise(12000, 13);
    Owned<SoundAlgoFilterSplit> split(
        new SoundAlgoFilterSplit(std::make_shared<BiquadEqBuilder>(LowPass, 1000, 1.0, 0.0)));
    split->setOutputGain(-3.0);
    const auto out = runBlocks(*split, {x}, {5000, 0, 4000, 3000}, kRate);
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(out[0].size(), x.size());
    ASSERT_EQ(out[1].size(), x.size());
    const double g = fromDb(-3.0);
    std::vector<double> low = x;
    auto lp = kernel({LowPass, 1000, 1.0, 0.0});
    lp->setGain(g);
    cascade({lp}, low, 0, 12000);
    EXPECT_EQ(out[0], low);
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(out[0][i] + out[1][i], g * x[i], 1e-15) << "sample " << i;
}

TEST(SoundAlgoFilterBiquad, LiveBandChangesRestartOnlyTheirStage)
{
    const std::vector<double> x = noise(9000, 14);
    Owned<SoundAlgoFilterBiquad> node(new SoundAlgoFilterBiquad(BandEq, 1000, 1.0, 6.0));
    // A stage that is no equaliser section: the band setters leave it alone.
    node->pushFilter(std::make_shared<Order1FilterBuilder>(LowPass, 15000));
    node->pushFilter(HighShelf, 5000, 1.0, -3.0);
    node->setOutputGain(4.0);
    node->SetWidth(0, 0.5); // before the first run: only the builder changes
    const auto out = runBlocks(*node, {x}, {3000, 3000, 3000}, kRate, [&](std::size_t block) {
        if (block == 1) {
            node->SetLevel(0, -6.0);
            node->SetLevel(7, 3.0);  // no such band
            node->SetFreq(1, 100.0); // not an equaliser section
        }
        if (block == 2)
            node->SetFreq(2, 8000.0); // the last stage: keeps the output gain
    });

    // Stage 0 restarts at frame 3000 (gain), the last at 6000 (frequency); stage 1 runs throughout.
    std::vector<double> want = x;
    cascade({kernel({BandEq, 1000, 0.5, 6.0})}, want, 0, 3000);
    cascade({kernel({BandEq, 1000, 0.5, -6.0})}, want, 3000, 9000);
    cascade({Order1FilterBuilder(LowPass, 15000).buildFilter(kRate)}, want, 0, 9000);
    auto s2 = kernel({HighShelf, 5000, 1.0, -3.0}), s2b = kernel({HighShelf, 8000, 1.0, -3.0});
    s2->setGain(fromDb(4.0));
    s2b->setGain(fromDb(4.0));
    cascade({s2}, want, 0, 6000);
    cascade({s2b}, want, 6000, 9000);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], want);
}
