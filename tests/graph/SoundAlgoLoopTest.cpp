// The processing loop over many small blocks: geometry becoming a stream
// (delay, history, sample shift), short and empty inputs, signals, stopping
// and failures.

#include "GraphTestSupport.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoScale.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace GraphTest;

namespace {

std::vector<double> delayed(const std::vector<double>& x, unsigned d)
{
    std::vector<double> y(2 * d, 0.0);
    y.insert(y.end(), x.begin(), x.end());
    return y;
}

} // namespace

TEST(SoundAlgoLoop, HistoryAndDelayOverManySmallBlocks)
{
    // (history, delay) pairs: look-ahead, causal, and a delay longer than the
    // history; 5000 frames in blocks of at most 64 (raised to the history).
    const std::vector<double> x = noise(5000);
    const unsigned cases[][2] = {{0, 0}, {100, 0}, {100, 100}, {30, 200}, {7, 1}};
    for (const auto& c : cases) {
        BlockSizeGuard block(64);
        SCOPED_TRACE("history " + std::to_string(c[0]) + " delay " + std::to_string(c[1]));
        NodeRef fir(new TestFir(c[0], c[1]));
        const RunResult r = runWhole(*fir, x);
        EXPECT_EQ(r.status, SoundTools::StatusOk);
        EXPECT_EQ(r.diagnostics, "");
        // Every input frame comes out, placed `delay` frames later.
        const std::size_t frames = 5000 + c[1];
        expectFrames(r.out, TestFir::reference(x, c[0], c[1], r.out.size() / 2), frames, true, "fir");
    }
}

TEST(SoundAlgoLoop, DelayLongerThanTheBlock)
{
    BlockSizeGuard block(64);
    const std::vector<double> x = noise(3000, 2);
    {
        // 1000 frames of delay in front of blocks of 64: the run makes room
        // for the silence instead of ending at once with nothing written.
        NodeRef delay(new SoundAlgoDelay(1000.0 / kRate, false));
        ASSERT_EQ(static_cast<SoundAlgoDelay*>(delay.node)->getDelay(kRate), 1000u);
        const RunResult r = runWhole(*delay, x);
        EXPECT_EQ(r.status, SoundTools::StatusOk);
        EXPECT_EQ(r.diagnostics, "");
        ASSERT_EQ(r.out.size(), 2 * std::size_t(4000));
        expectFrames(r.out, delayed(x, 1000), 4000, false, "delay as delay");
    }
    {
        // Declared as an out overlap and sample shift of 1000: positions do not
        // change, the provisional 1000 frames of each block are released later.
        NodeRef delay(new SoundAlgoDelay(1000.0 / kRate, true));
        const RunResult r = runWhole(*delay, x);
        EXPECT_EQ(r.status, SoundTools::StatusOk);
        EXPECT_EQ(r.diagnostics, "");
        ASSERT_EQ(r.out.size(), x.size());
        expectFrames(r.out, x, 3000, false, "delay as overlap");
    }
}

TEST(SoundAlgoLoop, InputShorterThanTheHistoryStillComesOut)
{
    BlockSizeGuard block(64);
    for (unsigned frames : {1u, 100u, 255u, 256u, 257u}) {
        for (unsigned delay : {0u, 256u}) {
            SCOPED_TRACE(std::to_string(frames) + " frames, delay " + std::to_string(delay));
            const std::vector<double> x = noise(frames, frames);
            NodeRef fir(new TestFir(256, delay));
            const RunResult r = runWhole(*fir, x);
            EXPECT_EQ(r.status, SoundTools::StatusOk);
            EXPECT_EQ(r.diagnostics, "");
            expectFrames(r.out, TestFir::reference(x, 256, delay, r.out.size() / 2), frames + delay, true, "short");

            // Behind it a node that keeps a margin: the block that consumed
            // nothing must not move that node's output either.
            auto* c = new SoundAlgoComposite(nullptr, true);
            c->pushAlgo(new TestFir(256, delay));
            c->pushAlgo(new SoundAlgoDelay(100.0 / kRate, true));
            NodeRef chain(c);
            const RunResult rc = runWhole(*chain, x);
            EXPECT_EQ(rc.status, SoundTools::StatusOk);
            EXPECT_EQ(rc.diagnostics, "");
            expectFrames(rc.out, TestFir::reference(x, 256, delay, rc.out.size() / 2), frames + delay, true,
                         "short, then a margin");
        }
    }
}

TEST(SoundAlgoLoop, EmptyInput)
{
    BlockSizeGuard block(64);
    const std::vector<double> none;
    {
        NodeRef bypass(new SoundAlgoBypass());
        QSignalSpy begin(bypass.node, &SoundAlgo::notifyBegin);
        QSignalSpy progress(bypass.node, &SoundAlgo::notifyInProgress);
        QSignalSpy end(bypass.node, &SoundAlgo::notifyEnd);
        const RunResult r = runWhole(*bypass, none);
        EXPECT_EQ(r.status, SoundTools::StatusOk);
        EXPECT_TRUE(r.out.empty());
        ASSERT_EQ(begin.count(), 1);
        EXPECT_EQ(begin.at(0).at(0).toUInt(), 0u);
        EXPECT_EQ(progress.count(), 0);
        ASSERT_EQ(end.count(), 1);
        EXPECT_EQ(end.at(0).at(0).toInt(), 0);
    }
    {
        // With history and a shift there is a last block to process: it must
        // hold no negative frame count and write nothing but silence.
        NodeRef fir(new TestFir(300, 300));
        const RunResult r = runWhole(*fir, none);
        EXPECT_EQ(r.status, SoundTools::StatusOk);
        EXPECT_EQ(r.diagnostics, "");
        for (double v : r.out)
            EXPECT_EQ(v, 0.0);
        NodeRef shift(new SoundAlgoDelay(0.01, true));
        EXPECT_EQ(runWhole(*shift, none).status, SoundTools::StatusOk);
    }
}

TEST(SoundAlgoLoop, SignalsCarryFramesAndANormalEndIsZero)
{
    BlockSizeGuard block(128);
    // Sample shift of 64 over 1000 frames: the tail counts as read.
    NodeRef node(new SoundAlgoDelay(64.0 / kRate, true));
    QSignalSpy begin(node.node, &SoundAlgo::notifyBegin);
    QSignalSpy progress(node.node, &SoundAlgo::notifyInProgress);
    QSignalSpy end(node.node, &SoundAlgo::notifyEnd);
    const RunResult r = runWhole(*node, noise(1000));
    EXPECT_EQ(r.status, SoundTools::StatusOk);
    ASSERT_EQ(begin.count(), 1);
    EXPECT_EQ(begin.at(0).at(0).toUInt(), 1000u);
    ASSERT_EQ(progress.count(), 9); // 8 blocks of 128 and the tail block
    EXPECT_EQ(progress.at(0).at(0).toUInt(), 128u);
    EXPECT_EQ(progress.last().at(0).toUInt(), 1064u);
    EXPECT_EQ(progress.last().at(1).toUInt(), 1000u);
    ASSERT_EQ(end.count(), 1);
    EXPECT_EQ(end.at(0).at(0).toInt(), 0);
}

TEST(SoundAlgoLoop, DrivenBlockByBlockTheLastBlockReturnsEnd)
{
    BlockSizeGuard block(100);
    NodeRef scale(new SoundAlgoScale(0.0));
    TestUtil::MemoryReader reader(noise(250), kRate);
    SoundAlgo::LoopContext context;
    ASSERT_EQ(scale->initProcessLoop(reader, context), SoundTools::StatusOk);
    std::vector<int> results;
    for (int s = 0; s == 0;) {
        s = scale->singleProcessLoop(reader, context, nullptr);
        results.push_back(s);
    }
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 3}));
    EXPECT_EQ(context.status, 0);
    EXPECT_EQ(scale->endProcessLoop(context), 0);
}

TEST(SoundAlgoLoop, PleaseStopEndsTheRunAfterTheCurrentBlock)
{
    BlockSizeGuard block(100);
    NodeRef node(new SoundAlgoBypass());
    node->pleaseStop(); // cleared when the run starts
    int blocks = 0;
    QObject::connect(node.node, &SoundAlgo::notifyInProgress, [&](unsigned, unsigned) {
        if (++blocks == 3)
            node->pleaseStop();
    });
    QSignalSpy end(node.node, &SoundAlgo::notifyEnd);
    const std::vector<double> x = noise(1000);
    const RunResult r = runWhole(*node, x);
    EXPECT_EQ(r.status, SoundTools::StatusStopped);
    ASSERT_EQ(end.count(), 1);
    EXPECT_EQ(end.at(0).at(0).toInt(), 2);
    // The block in progress was processed and written.
    expectFrames(r.out, x, 300, false, "stopped");
    EXPECT_EQ(r.out.size(), 600u);
}

TEST(SoundAlgoLoop, FailuresAreReportedAsFailuresNotStops)
{
    BlockSizeGuard block(100);
    const std::vector<double> x = noise(1000);
    {
        // The writer fails on its first block: status 1, its text, notifyEnd(1).
        NodeRef node(new SoundAlgoBypass());
        QSignalSpy end(node.node, &SoundAlgo::notifyEnd);
        TestUtil::MemoryReader reader(x, kRate);
        TestUtil::MemoryWriter writer(kRate, 0);
        EXPECT_EQ(node->processAll(reader, &writer), SoundTools::StatusError);
        EXPECT_STREQ(node->getError(), "MemoryWriter : disk full");
        ASSERT_EQ(end.count(), 1);
        EXPECT_EQ(end.at(0).at(0).toInt(), 1);
    }
    {
        // A stop asked while the block's write fails: still a failure.
        NodeRef node(new FailingNode(0, SoundTools::StatusOk, true));
        TestUtil::MemoryReader reader(x, kRate);
        TestUtil::MemoryWriter writer(kRate, 2);
        EXPECT_EQ(node->processAll(reader, &writer), SoundTools::StatusStopped); // first block: a plain stop
        reader.rewind();
        TestUtil::MemoryWriter failing(kRate, 0);
        EXPECT_EQ(node->processAll(reader, &failing), SoundTools::StatusError);
    }
    {
        // A stop asked while processing fails: the failure wins.
        NodeRef node(new FailingNode(2, SoundTools::StatusError, true));
        TestUtil::MemoryReader reader(x, kRate);
        EXPECT_EQ(node->processAll(reader, nullptr), SoundTools::StatusStopped);
        reader.rewind();
        NodeRef failing(new FailingNode(1, SoundTools::StatusError, true));
        EXPECT_EQ(failing->processAll(reader, nullptr), SoundTools::StatusError);
        EXPECT_STREQ(failing->getError(), "FailingNode : synthetic failure");
    }
}

TEST(SoundAlgoLoop, RunsNeedOneInputAndOneOutput)
{
    NodeRef add(new SoundAlgoAdd(2, true, nullptr));
    QSignalSpy begin(add.node, &SoundAlgo::notifyBegin);
    QSignalSpy end(add.node, &SoundAlgo::notifyEnd);
    TestUtil::MemoryReader reader(noise(100), kRate);
    EXPECT_EQ(add->processAll(reader, nullptr), SoundTools::StatusError);
    EXPECT_STRNE(add->getError(), "");
    EXPECT_EQ(begin.count(), 0);
    EXPECT_EQ(end.count(), 0);
}
