// Arithmetic and routing nodes, each driven for one block on hand-made inputs and checked against a formula.

#include "TestNodes.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoAddSqr.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoSub.h"

#include <iterator>
#include <limits>

using namespace TestUtil;

constexpr unsigned kRate = 44100;

using Signals = std::vector<Samples>;

/// Runs `node` alone for one block of `inputs` (interleaved stereo, same lengths).
Signals oneBlock(SoundAlgo& node, const Signals& inputs)
{
    return runBlocks(node, inputs, {static_cast<unsigned>(inputs[0].size() / 2)}, kRate);
}

TEST(SoundAlgoNodes, FirstOutputFollowsItsFormulaTheOthersCopyTheirInputs)
{
    const double w3[] = {0.5, 0.25, 2.0}, ones[] = {1.0, 1.0}, wLarge[] = {0.3, -1.5, 0.7}, wSqr[] = {2.0, 0.5, 1.0};
    ASSERT_GE(100000u * 4, SoundAlgoAdd::sParallelMinValues);
    struct Case {
        SoundAlgo* node;
        const char* name; ///< expected getName(), if checked
        unsigned frames, inputs, outputs;
        double (*formula)(const double* v); ///< output 0 from the inputs' samples at one index
        bool exact;                         ///< else within 4 ulps
    };
    const Case cases[] = {
        {new SoundAlgoAdd(3, false, w3), "SoundAlgoAdd", 300, 3, 3,
         [](const double* v) { return 0.0 + 0.5 * v[0] + 0.25 * v[1] + 2.0 * v[2]; }, false},
        // Two inputs, one output, unit weights: the dedicated loop gives what the weighted loop gives.
        {new SoundAlgoAdd(2, true, nullptr), nullptr, 300, 2, 1, [](const double* v) { return v[0] + v[1]; }, true},
        {new SoundAlgoAdd(2, false, ones), nullptr, 300, 2, 2, [](const double* v) { return v[0] + v[1]; }, true},
        // 100000 frames: above the parallel threshold, the sum is split among threads.
        {new SoundAlgoAdd(3, true, wLarge), nullptr, 100000, 3, 1,
         [](const double* v) { return 0.0 + 0.3 * v[0] + -1.5 * v[1] + 0.7 * v[2]; }, true},
        {new SoundAlgoAddSqr(3, false, wSqr), nullptr, 50, 3, 3,
         [](const double* v) { return std::hypot(std::hypot(2.0 * v[0], 0.5 * v[1]), v[2]); }, false},
        {new SoundAlgoSub(3, false), "SoundAlgoSub", 200, 3, 3, [](const double* v) { return v[0] - v[1] - v[2]; },
         false},
        {new SoundAlgoSub(2, true), nullptr, 200, 2, 1, [](const double* v) { return v[0] - v[1]; }, true},
        {new SoundAlgoScale(0.0), nullptr, 100, 1, 1, [](const double* v) { return v[0]; }, true},
        // -6 dB: 10^(-6/20), written out.
        {new SoundAlgoScale(-6.0), nullptr, 100, 1, 1, [](const double* v) { return 0.5011872336272722 * v[0]; },
         false},
        {new SoundAlgoBypass(0, 0), nullptr, 64, 1, 1, [](const double* v) { return v[0]; }, true},
        {new SoundAlgoBypass(0, 0, 0, 2), nullptr, 64, 2, 2, [](const double* v) { return v[0]; }, true},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        Owned<> node(c.node);
        SCOPED_TRACE("case " + std::to_string(k) + ": " + node->getName());
        if (c.name != nullptr)
            EXPECT_STREQ(node->getName(), c.name);
        Signals x = {noise(c.frames, 11), noise(c.frames, 12), noise(c.frames, 13)};
        x.resize(c.inputs);
        const Signals y = oneBlock(*node, x);
        ASSERT_EQ(y.size(), c.outputs);
        ASSERT_EQ(y[0].size(), x[0].size());
        for (std::size_t i = 0; i < x[0].size(); ++i) {
            const double v[] = {x[0][i], c.inputs > 1 ? x[1][i] : 0.0, c.inputs > 2 ? x[2][i] : 0.0};
            if (c.exact)
                ASSERT_EQ(y[0][i], c.formula(v)) << i;
            else
                ASSERT_DOUBLE_EQ(y[0][i], c.formula(v)) << i;
        }
        for (unsigned o = 1; o < c.outputs; ++o)
            EXPECT_EQ(y[o], x[o]) << "output " << o;
    }
    Owned<> sqr(new SoundAlgoAddSqr(2, true, nullptr));
    EXPECT_EQ(oneBlock(*sqr, {{3.0, 0.0}, {4.0, -1.0}}), (Signals{{5.0, 1.0}}));
    Owned<> minus6(new SoundAlgoScale(-6.0));
    EXPECT_NEAR(static_cast<SoundAlgoScale*>(minus6.get())->getFactor(), 0.5011872336272722, 1e-15);
}

TEST(SoundAlgoDelay, DurationsBecomeFramesDeclaredAsDelayOrOverlap)
{
    // Rounded to the nearest frame; negative and NaN durations clamp to none.
    struct Case {
        double seconds;
        bool asOverlap;
        unsigned frames;
    };
    for (const Case c : {Case{0.5, false, 22050}, Case{0.5, true, 22050}, Case{22049.5 / 44100.0, false, 22050},
                         Case{-1.0, false, 0}, Case{std::numeric_limits<double>::quiet_NaN(), true, 0}}) {
        SCOPED_TRACE(std::to_string(c.seconds) + (c.asOverlap ? " as overlap" : " as delay"));
        Owned<> delay(new SoundAlgoDelay(c.seconds, c.asOverlap));
        EXPECT_EQ(delay->getDelay(44100), c.asOverlap ? 0u : c.frames);
        EXPECT_EQ(delay->getOutOverlap(44100), c.asOverlap ? c.frames : 0u);
        EXPECT_EQ(delay->getSampleShift(44100), c.asOverlap ? c.frames : 0u);
    }
}

TEST(SoundAlgoSelectChannel, ForwardsTheSelectedBufferAndFollowsItsNeighbours)
{
    BlockSizeGuard block(16);
    Owned<> select(new SoundAlgoSelectChannel(1, 3));
    EXPECT_EQ(select->getInputNumber(), 3u);
    EXPECT_EQ(select->getOutputNumber(), 1u);
    ASSERT_EQ(select->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
    EXPECT_EQ(select->getOutBuffer(0), select->getInBuffer(1));
    EXPECT_EQ(select->process(), SoundTools::StatusOk);
    select->endProcess(0, 0);
    // Its overlaps follow its neighbours.
    Owned<> before(new SoundAlgoDelay(100.0 / kRate, true));
    Owned<> middle(new SoundAlgoSelectChannel(0, 1));
    Owned<> after(new TestFir(40, 0));
    EXPECT_EQ(middle->getInOverlap(kRate), 0u); // no neighbours yet
    ASSERT_EQ(before->initProcess(kRate, 2, 0, nullptr, middle.get()), SoundTools::StatusOk);
    ASSERT_EQ(middle->initProcess(kRate, 2, 0, before.get(), after.get()), SoundTools::StatusOk);
    ASSERT_EQ(after->initProcess(kRate, 2, 0, middle.get(), nullptr), SoundTools::StatusOk);
    EXPECT_EQ(middle->getInOverlap(kRate), 40u);
    EXPECT_EQ(middle->getOutOverlap(kRate), 100u);
    // The buffer the consumer reads keeps the provisional tail and its history.
    EXPECT_EQ(before->getOutBufferOverlap(kRate), 140u);
    for (SoundAlgo* node : {before.get(), middle.get(), after.get()})
        node->endProcess(0, 0);
}

TEST(SoundAlgoMulti, NoInputsOrAnInputOutsideFailToInitialise)
{
    SoundAlgo* const nodes[] = {new SoundAlgoAdd(0, true, nullptr), new SoundAlgoSub(-2, false),
                                new SoundAlgoSelectChannel(3, 3), new SoundAlgoSelectChannel(-1, 3)};
    for (SoundAlgo* node : nodes) {
        Owned<> ref(node);
        SCOPED_TRACE(node->getName());
        EXPECT_EQ(node->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
        const std::string error = node->getError();
        if (dynamic_cast<SoundAlgoSelectChannel*>(node) != nullptr)
            EXPECT_EQ(error.rfind("SoundAlgoSelectChannel : input ", 0), 0u) << error;
        else
            EXPECT_EQ(node->getInputNumber(), 0u);
        node->endProcess(1, 0);
    }
}
