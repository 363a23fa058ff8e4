// Arithmetic and routing nodes, each driven for one block on hand-made inputs
// and checked against the formula computed here.

#include "GraphTestSupport.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoAddSqr.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoSub.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace GraphTest;

namespace {

using Signals = std::vector<std::vector<double>>;

/// Initialises `node` alone and runs one block of `inputs` (interleaved
/// stereo, all of the same length) from position 0; returns the frames of
/// every output port from getOutOrigin() on.
Signals oneBlock(SoundAlgo& node, const Signals& inputs, SoundTools::Status* status = nullptr)
{
    const unsigned frames = static_cast<unsigned>(inputs[0].size() / 2);
    BlockSizeGuard block(frames);
    Signals outputs;
    if (node.initProcess(kRate, 2, 0, nullptr, nullptr) != SoundTools::StatusOk) {
        ADD_FAILURE() << "initProcess: " << node.getError();
        return outputs;
    }
    for (unsigned i = 0; i < node.getInputNumber(); ++i) {
        std::shared_ptr<SoundBuffer> in = node.getInBuffer(i);
        in->setOrigin(0);
        in->setFrameNB(frames);
        std::memcpy(in->getRelFrame(0), inputs[i].data(), sizeof(double) * inputs[i].size());
    }
    node.setOutOrigin();
    node.updateOutput();
    const SoundTools::Status s = node.process();
    if (status != nullptr)
        *status = s;
    for (unsigned o = 0; o < node.getOutputNumber(); ++o) {
        const double* y = node.getOutBuffer(o)->getFrame(node.getOutOrigin());
        outputs.emplace_back(y, y + 2 * std::size_t(node.getOutFrameNb()));
    }
    node.endProcess(0, frames);
    return outputs;
}

Signals threeInputs(unsigned frames)
{
    return {noise(frames, 11), noise(frames, 12), noise(frames, 13)};
}

} // namespace

TEST(SoundAlgoAdd, WeightedSumAndCopiesOfTheOtherInputs)
{
    const double w[] = {0.5, 0.25, 2.0};
    const Signals x = threeInputs(300);
    NodeRef add(new SoundAlgoAdd(3, false, w));
    EXPECT_STREQ(add->getName(), "SoundAlgoAdd");
    const Signals y = oneBlock(*add, x);
    ASSERT_EQ(y.size(), 3u);
    ASSERT_EQ(y[0].size(), x[0].size());
    for (std::size_t i = 0; i < x[0].size(); ++i)
        EXPECT_DOUBLE_EQ(y[0][i], 0.0 + 0.5 * x[0][i] + 0.25 * x[1][i] + 2.0 * x[2][i]);
    EXPECT_EQ(y[1], x[1]);
    EXPECT_EQ(y[2], x[2]);

    // Two inputs, one output, unit weights: the dedicated loop gives what the
    // weighted loop gives.
    NodeRef plain(new SoundAlgoAdd(2, true, nullptr));
    const double ones[] = {1.0, 1.0};
    NodeRef general(new SoundAlgoAdd(2, false, ones));
    const Signals two = {x[0], x[1]};
    const Signals fast = oneBlock(*plain, two);
    ASSERT_EQ(fast.size(), 1u);
    EXPECT_EQ(fast[0], oneBlock(*general, two)[0]);
    for (std::size_t i = 0; i < x[0].size(); ++i)
        EXPECT_EQ(fast[0][i], x[0][i] + x[1][i]);
}

TEST(SoundAlgoAdd, LargeBlocksSplitAmongThreadsGiveTheSameSum)
{
    // 100000 frames of 3 inputs and 1 output: above the parallel threshold.
    const double w[] = {0.3, -1.5, 0.7};
    const Signals x = threeInputs(100000);
    ASSERT_GE(100000u * 4, SoundAlgoAdd::sParallelMinValues);
    NodeRef add(new SoundAlgoAdd(3, true, w));
    const Signals y = oneBlock(*add, x);
    ASSERT_EQ(y.size(), 1u);
    ASSERT_EQ(y[0].size(), x[0].size());
    for (std::size_t i = 0; i < x[0].size(); ++i)
        ASSERT_EQ(y[0][i], 0.0 + 0.3 * x[0][i] + -1.5 * x[1][i] + 0.7 * x[2][i]) << i;
}

TEST(SoundAlgoAddSqr, RootOfWeightedSquaresPerChannel)
{
    NodeRef sqr(new SoundAlgoAddSqr(2, true, nullptr));
    const Signals y = oneBlock(*sqr, {{3.0, 0.0}, {4.0, -1.0}});
    ASSERT_EQ(y.size(), 1u);
    EXPECT_EQ(y[0], (std::vector<double>{5.0, 1.0}));

    const double w[] = {2.0, 0.5, 1.0};
    const Signals x = threeInputs(50);
    NodeRef weighted(new SoundAlgoAddSqr(3, false, w));
    const Signals z = oneBlock(*weighted, x);
    ASSERT_EQ(z.size(), 3u);
    for (std::size_t i = 0; i < x[0].size(); ++i)
        EXPECT_DOUBLE_EQ(z[0][i], std::hypot(std::hypot(2.0 * x[0][i], 0.5 * x[1][i]), x[2][i]));
    EXPECT_EQ(z[2], x[2]);
}

TEST(SoundAlgoSub, DifferenceAndCopies)
{
    const Signals x = threeInputs(200);
    NodeRef sub(new SoundAlgoSub(3, false));
    EXPECT_STREQ(sub->getName(), "SoundAlgoSub");
    const Signals y = oneBlock(*sub, x);
    ASSERT_EQ(y.size(), 3u);
    for (std::size_t i = 0; i < x[0].size(); ++i)
        EXPECT_DOUBLE_EQ(y[0][i], x[0][i] - x[1][i] - x[2][i]);
    EXPECT_EQ(y[1], x[1]);
    EXPECT_EQ(y[2], x[2]);

    NodeRef two(new SoundAlgoSub(2, true));
    const Signals d = oneBlock(*two, {x[0], x[1]});
    ASSERT_EQ(d.size(), 1u);
    for (std::size_t i = 0; i < x[0].size(); ++i)
        EXPECT_EQ(d[0][i], x[0][i] - x[1][i]);
}

TEST(SoundAlgoScale, GainInDecibels)
{
    const Signals x = {noise(100)};
    NodeRef unity(new SoundAlgoScale(0.0));
    EXPECT_EQ(static_cast<SoundAlgoScale*>(unity.node)->getFactor(), 1.0);
    EXPECT_EQ(oneBlock(*unity, x)[0], x[0]);
    NodeRef minus6(new SoundAlgoScale(-6.0));
    // 10^(-6/20), written out.
    EXPECT_NEAR(static_cast<SoundAlgoScale*>(minus6.node)->getFactor(), 0.5011872336272722, 1e-15);
    const Signals y = oneBlock(*minus6, x);
    for (std::size_t i = 0; i < x[0].size(); ++i)
        EXPECT_DOUBLE_EQ(y[0][i], 0.5011872336272722 * x[0][i]);
}

TEST(SoundAlgoBypass, CopiesAtTheSamePositions)
{
    const Signals x = {noise(64)};
    NodeRef bypass(new SoundAlgoBypass(0, 0));
    EXPECT_EQ(oneBlock(*bypass, x)[0], x[0]);
    // Two ports, each copied to its own output.
    NodeRef two(new SoundAlgoBypass(0, 0, 0, 2));
    const Signals y = oneBlock(*two, {x[0], noise(64, 4)});
    ASSERT_EQ(y.size(), 2u);
    EXPECT_EQ(y[1], noise(64, 4));
}

TEST(SoundAlgoDelay, DurationsBecomeFramesDeclaredAsDelayOrOverlap)
{
    SoundAlgoDelay* asDelay = new SoundAlgoDelay(0.5, false);
    SoundAlgoDelay* asOverlap = new SoundAlgoDelay(0.5, true);
    NodeRef a(asDelay), b(asOverlap);
    EXPECT_EQ(asDelay->getDelay(44100), 22050u);
    EXPECT_EQ(asDelay->getOutOverlap(44100), 0u);
    EXPECT_EQ(asDelay->getSampleShift(44100), 0u);
    EXPECT_EQ(asOverlap->getDelay(44100), 0u);
    EXPECT_EQ(asOverlap->getOutOverlap(44100), 22050u);
    EXPECT_EQ(asOverlap->getSampleShift(44100), 22050u);
    NodeRef half(new SoundAlgoDelay(22049.5 / 44100.0, false));
    EXPECT_EQ(half->getDelay(44100), 22050u);
    NodeRef negative(new SoundAlgoDelay(-1.0, false));
    EXPECT_EQ(negative->getDelay(44100), 0u);
    NodeRef nan(new SoundAlgoDelay(std::nan(""), true));
    EXPECT_EQ(nan->getOutOverlap(44100), 0u);
}

TEST(SoundAlgoSelectChannel, ForwardsTheSelectedBufferItself)
{
    BlockSizeGuard block(16);
    NodeRef select(new SoundAlgoSelectChannel(1, 3));
    EXPECT_EQ(select->getInputNumber(), 3u);
    EXPECT_EQ(select->getOutputNumber(), 1u);
    ASSERT_EQ(select->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
    EXPECT_EQ(select->getOutBuffer(0), select->getInBuffer(1));
    EXPECT_EQ(select->process(), SoundTools::StatusOk);
    select->endProcess(0, 0);

    for (int index : {3, -1}) {
        SCOPED_TRACE(index);
        NodeRef outside(new SoundAlgoSelectChannel(index, 3));
        EXPECT_EQ(outside->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
        EXPECT_EQ(std::string(outside->getError()).rfind("SoundAlgoSelectChannel : input ", 0), 0u)
            << outside->getError();
        outside->endProcess(1, 0);
    }
}

TEST(SoundAlgoSelectChannel, OverlapsFollowItsNeighbours)
{
    BlockSizeGuard block(16);
    NodeRef before(new SoundAlgoDelay(100.0 / kRate, true));
    NodeRef select(new SoundAlgoSelectChannel(0, 1));
    NodeRef after(new TestFir(40, 0));
    EXPECT_EQ(select->getInOverlap(kRate), 0u); // no neighbours yet
    ASSERT_EQ(before->initProcess(kRate, 2, 0, nullptr, select.node), SoundTools::StatusOk);
    ASSERT_EQ(select->initProcess(kRate, 2, 0, before.node, after.node), SoundTools::StatusOk);
    ASSERT_EQ(after->initProcess(kRate, 2, 0, select.node, nullptr), SoundTools::StatusOk);
    EXPECT_EQ(select->getInOverlap(kRate), 40u);
    EXPECT_EQ(select->getOutOverlap(kRate), 100u);
    // The buffer the consumer reads keeps the provisional tail and its history.
    EXPECT_EQ(before->getOutBufferOverlap(kRate), 140u);
    for (SoundAlgo* node : {before.node, select.node, after.node})
        node->endProcess(0, 0);
}

TEST(SoundAlgoMulti, NoInputsFailsToInitialise)
{
    NodeRef none(new SoundAlgoAdd(0, true, nullptr));
    EXPECT_EQ(none->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    NodeRef negative(new SoundAlgoSub(-2, false));
    EXPECT_EQ(negative->getInputNumber(), 0u);
    EXPECT_EQ(negative->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
}
