// The processing loop over many small blocks: delay, history and sample shift, short and empty inputs, signals,
// stopping and failures.

#include "TestNodes.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoScale.h"

#include <QSignalSpy>

using namespace TestUtil;

constexpr unsigned kRate = 44100;

namespace {

/// Records a node's signals; began() / ended() give the argument of the only begin / end signal (-1 if not one).
struct Spies {
    explicit Spies(SoundAlgo* n)
        : begin(n, &SoundAlgo::notifyBegin)
        , progress(n, &SoundAlgo::notifyInProgress)
        , end(n, &SoundAlgo::notifyEnd)
    {
    }
    long began() const { return begin.count() == 1 ? long(begin.at(0).at(0).toUInt()) : -1; }
    int ended() const { return end.count() == 1 ? end.at(0).at(0).toInt() : -1; }
    QSignalSpy begin, progress, end;
};

} // namespace

TEST(SoundAlgoLoop, EmptyInput)
{
    BlockSizeGuard block(64);
    const Samples none;
    Owned<> bypass(new SoundAlgoBypass());
    Spies spies(bypass.get());
    const RunResult r = runNode(*bypass, none);
    EXPECT_EQ(r.status, SoundTools::StatusOk);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(spies.began(), 0);
    EXPECT_EQ(spies.progress.count(), 0);
    EXPECT_EQ(spies.ended(), 0);
}

TEST(SoundAlgoLoop, SignalsCarryFramesAndANormalEndIsZero)
{
    BlockSizeGuard block(128);
    // Sample shift of 64 over 1000 frames: the tail counts as read.
    Owned<> node(new SoundAlgoDelay(64.0 / kRate, true));
    Spies spies(node.get());
    EXPECT_EQ(runNode(*node, noise(1000)).status, SoundTools::StatusOk);
    EXPECT_EQ(spies.began(), 1000);
    ASSERT_EQ(spies.progress.count(), 9); // 8 blocks of 128 and the tail block
    EXPECT_EQ(spies.progress.at(0).at(0).toUInt(), 128u);
    EXPECT_EQ(spies.progress.last().at(0).toUInt(), 1064u);
    EXPECT_EQ(spies.progress.last().at(1).toUInt(), 1000u);
    EXPECT_EQ(spies.ended(), 0);
}

TEST(SoundAlgoLoop, DrivenBlockByBlockTheLastBlockReturnsEnd)
{
    BlockSizeGuard block(100);
    Owned<> scale(new SoundAlgoScale(0.0));
    TestUtil::MemoryReader reader(noise(250), kRate);
    SoundAlgo::LoopContext context;
    ASSERT_EQ(scale->initProcessLoop(reader, context), SoundTools::StatusOk);
    std::vector<int> results;
    for (int s = 0; s == 0;)
        results.push_back(s = scale->singleProcessLoop(reader, context, nullptr));
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 3}));
    EXPECT_EQ(context.status, 0);
    EXPECT_EQ(scale->endProcessLoop(context), 0);
}

TEST(SoundAlgoLoop, PleaseStopEndsTheRunAfterTheCurrentBlock)
{
    BlockSizeGuard block(100);
    Owned<> node(new SoundAlgoBypass());
    node->pleaseStop(); // cleared when the run starts
    int blocks = 0;
    QObject::connect(node.get(), &SoundAlgo::notifyInProgress, [&](unsigned, unsigned) {
        if (++blocks == 3)
            node->pleaseStop();
    });
    Spies spies(node.get());
    const Samples x = noise(1000);
    const RunResult r = runNode(*node, x);
    EXPECT_EQ(r.status, SoundTools::StatusStopped);
    EXPECT_EQ(spies.ended(), 2);
    // The block in progress was processed and written.
    expectFrames(r.out, x, 300, false, "stopped");
    EXPECT_EQ(r.out.size(), 600u);
}

TEST(SoundAlgoLoop, FailuresAreReportedAsFailuresNotStops)
{
    BlockSizeGuard block(100);
    const Samples x = noise(1000);
    TestUtil::MemoryReader reader(x, kRate);
    {
        // The writer fails on its first block: status 1, its text, notifyEnd(1).
        Owned<> node(new SoundAlgoBypass());
        Spies spies(node.get());
        TestUtil::MemoryWriter writer(kRate, 0);
        EXPECT_EQ(node->processAll(reader, &writer), SoundTools::StatusError);
        EXPECT_STREQ(node->getError(), "MemoryWriter : disk full");
        EXPECT_EQ(spies.ended(), 1);
    }
    {
        // A stop asked while the block's write fails: still a failure (with a working writer: a plain stop).
        Owned<> node(new FailingNode(0, SoundTools::StatusOk, true));
        TestUtil::MemoryWriter writer(kRate, 2), failing(kRate, 0);
        reader.rewind();
        EXPECT_EQ(node->processAll(reader, &writer), SoundTools::StatusStopped);
        reader.rewind();
        EXPECT_EQ(node->processAll(reader, &failing), SoundTools::StatusError);
    }
    // A stop asked while processing fails: the failure wins (a stop before the failure stays a stop).
    Owned<> node(new FailingNode(2, SoundTools::StatusError, true));
    reader.rewind();
    EXPECT_EQ(node->processAll(reader, nullptr), SoundTools::StatusStopped);
    Owned<> failing(new FailingNode(1, SoundTools::StatusError, true));
    reader.rewind();
    EXPECT_EQ(failing->processAll(reader, nullptr), SoundTools::StatusError);
    EXPECT_STREQ(failing->getError(), "FailingNode : synthetic failure");
}

TEST(SoundAlgoLoop, RunsNeedOneInputAndOneOutput)
{
    Owned<> add(new SoundAlgoAdd(2, true, nullptr));
    Spies spies(add.get());
    TestUtil::MemoryReader reader(noise(100), kRate);
    EXPECT_EQ(add->processAll(reader, nullptr), SoundTools::StatusError);
    EXPECT_STRNE(add->getError(), "");
    EXPECT_EQ(spies.begin.count(), 0);
    EXPECT_EQ(spies.end.count(), 0);
}
