// The graph's parts one at a time: arithmetic and routing nodes against a formula on one block; composites
// (names, failures, empty branches, ownership); the processing loop over many small blocks (signals, stopping,
// failures); the node contract of a run (buffers, ports, frame counts); the reader and writer bases at their edges.
// Alignment, history, padding and overlaps in whole runs: GraphPropertyTest.

#include "TestNodes.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoAddSqr.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoSub.h"

#include <QSignalSpy>

#include <iterator>
#include <limits>
#include <numeric>
#include <type_traits>

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
        unsigned frames, inputs, outputs;
        double (*formula)(const double* v); ///< output 0 from the inputs' samples at one index
        bool exact;                         ///< else within 4 ulps
    };
    const Case cases[] = {
        {new SoundAlgoAdd(3, false, w3), 300, 3, 3,
         [](const double* v) { return 0.0 + 0.5 * v[0] + 0.25 * v[1] + 2.0 * v[2]; }, false},
        // Two inputs, one output, unit weights: the dedicated loop gives what the weighted loop gives.
        {new SoundAlgoAdd(2, true, nullptr), 300, 2, 1, [](const double* v) { return v[0] + v[1]; }, true},
        {new SoundAlgoAdd(2, false, ones), 300, 2, 2, [](const double* v) { return v[0] + v[1]; }, true},
        // 100000 frames: above the parallel threshold, the sum is split among threads.
        {new SoundAlgoAdd(3, true, wLarge), 100000, 3, 1,
         [](const double* v) { return 0.0 + 0.3 * v[0] + -1.5 * v[1] + 0.7 * v[2]; }, true},
        {new SoundAlgoAddSqr(3, false, wSqr), 50, 3, 3,
         [](const double* v) { return std::hypot(std::hypot(2.0 * v[0], 0.5 * v[1]), v[2]); }, false},
        {new SoundAlgoSub(3, false), 200, 3, 3, [](const double* v) { return v[0] - v[1] - v[2]; }, false},
        {new SoundAlgoSub(2, true), 200, 2, 1, [](const double* v) { return v[0] - v[1]; }, true},
        {new SoundAlgoScale(0.0), 100, 1, 1, [](const double* v) { return v[0]; }, true},
        // -6 dB: 10^(-6/20), written out.
        {new SoundAlgoScale(-6.0), 100, 1, 1, [](const double* v) { return 0.5011872336272722 * v[0]; }, false},
        {new SoundAlgoBypass(0, 0), 64, 1, 1, [](const double* v) { return v[0]; }, true},
        {new SoundAlgoBypass(0, 0, 0, 2), 64, 2, 2, [](const double* v) { return v[0]; }, true},
    };
    for (std::size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        Owned<> node(c.node);
        SCOPED_TRACE("case " + std::to_string(k) + ": " + node->getName());
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
        if (dynamic_cast<SoundAlgoSelectChannel*>(node) != nullptr)
            EXPECT_STRNE(node->getError(), "");
        else
            EXPECT_EQ(node->getInputNumber(), 0u);
        node->endProcess(1, 0);
    }
}

namespace {

/// Gives the tests the protected parts of the composite.
class ProbeComposite : public SoundAlgoComposite {
public:
    using SoundAlgoComposite::setReadOnly;
    using SoundAlgoComposite::SoundAlgoComposite;
};

/// [wet] beside [dry] (shared inputs), both kept as outputs 0 and 1.
ProbeComposite* dryWet(SoundAlgo* wet, SoundAlgo* dry) { return composite<ProbeComposite>({{wet}, {dry}}); }

} // namespace

TEST(SoundAlgoComposite, AFailingBranchFailsTheBlockWhicheverThreadRanIt)
{
    // Blocks large enough for the branches to run on the thread team.
    const unsigned frames = 1u << 16;
    ASSERT_GE(uint64_t(frames) * 4, SoundAlgoComposite::sParallelMinValues);
    BlockSizeGuard block(frames);
    const Samples x = noise(4 * frames);
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE("failing branch " + std::to_string(failing));
        auto* c = new SoundAlgoComposite(nullptr, true);
        for (int b = 0; b < 4; ++b) {
            if (b > 0)
                c->addNewBranch();
            c->pushAlgo(b == failing ? new FailingNode(3, SoundTools::StatusError) : new SoundAlgoBypass());
        }
        Owned<> outer(chain({c, new SoundAlgoAdd(4, true, nullptr)}));
        const RunResult r = runNode(*outer, x);
        EXPECT_EQ(r.status, SoundTools::StatusError);
        EXPECT_EQ(r.error, "FailingNode : synthetic failure");
        EXPECT_EQ(r.out.size(), 2u * 2 * frames); // two blocks written before the failure
    }
    // Results are OR-ed: 1 | 2 is neither a plain failure nor success.
    Owned<> outer(chain({dryWet(new FailingNode(1, SoundTools::StatusError),
                                new FailingNode(1, SoundTools::StatusStopped)),
                         new SoundAlgoSub(2, true)}));
    EXPECT_EQ(runNode(*outer, x).status, SoundTools::StatusStopped);
}

TEST(SoundAlgoComposite, EmptyBranchesFailWithAText)
{
    auto* c = new SoundAlgoComposite(nullptr, true);
    Owned<> ref(c);
    EXPECT_EQ(c->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_STRNE(c->getError(), "");
    c->pushAlgo(new SoundAlgoBypass());
    c->addNewBranch();
    TestUtil::MemoryReader reader(noise(10), kRate);
    EXPECT_EQ(c->processAll(reader, nullptr), SoundTools::StatusError);
    EXPECT_STREQ(c->getError(), "SoundAlgoComposite : branch 1 has no node");
}

TEST(SoundAlgoComposite, OwnsItsNodesAndRunsAgainUnchanged)
{
    BlockSizeGuard block(32);
    int deletions = 0;
    auto* kept = new CountedNode(&deletions);
    kept->addReference(); // as a device would
    {
        auto* c = composite<ProbeComposite>({{new CountedNode(&deletions), new TestFir(10, 0)}, {kept}});
        Owned<> outer(chain({c, new SoundAlgoSub(2, true)}));
        const Samples x = noise(500);
        const RunResult first = runNode(*outer, x);
        const std::size_t nodes = c->getBranch(0).size() + c->getBranch(1).size();
        EXPECT_EQ(first.status, SoundTools::StatusOk);
        EXPECT_EQ(first.out, runNode(*outer, x).out);
        EXPECT_EQ(nodes, c->getBranch(0).size() + c->getBranch(1).size()); // no alignment node added twice
        c->setReadOnly();
        Owned<> refused(new SoundAlgoBypass());
        c->pushAlgo(refused.get()); // ignored: the caller keeps its reference
        c->addNewBranch();
        EXPECT_EQ(c->getBranchNumber(), 2u);
    }
    EXPECT_EQ(deletions, 1);
    kept->releaseReference();
    EXPECT_EQ(deletions, 2);
}

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
    // An empty input still begins and ends, with no block between.
    Owned<> bypass(new SoundAlgoBypass());
    Spies empty(bypass.get());
    const RunResult r = runNode(*bypass, Samples());
    EXPECT_EQ(r.status, SoundTools::StatusOk);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(empty.began(), 0);
    EXPECT_EQ(empty.progress.count(), 0);
    EXPECT_EQ(empty.ended(), 0);
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

TEST(SoundAlgoGeometry, BuffersAndCountsOfANodeAlone)
{
    BlockSizeGuard block(1000);
    Owned<> plain(new SoundAlgoBypass());
    ASSERT_EQ(plain->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
    EXPECT_TRUE(plain->getOutBuffer(0)->isStereo());
    plain->getInBuffer(0)->setOrigin(500);
    plain->setOutOrigin();
    EXPECT_EQ(plain->getOutBuffer(0)->getOrigin(), 500);
    plain->endProcess(0, 0);
    EXPECT_EQ(plain->getInBuffer(0), nullptr);
    EXPECT_EQ(plain->initProcess(kRate, 1, 0, nullptr, nullptr), SoundTools::StatusError);

    Owned<> history(new SoundAlgoBypass(256, 0));
    ASSERT_EQ(history->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
    std::shared_ptr<SoundBuffer> in = history->getInBuffer(0);
    in->setOrigin(0);
    in->setFrameNB(1256);
    history->setOutOrigin();
    history->updateOutput();
    EXPECT_EQ(history->getOutFrameNb(), 1000u);
    // Fewer frames than the history: no output, never a wrapped count.
    in->setFrameNB(100);
    history->updateOutput();
    EXPECT_EQ(history->getOutBuffer(0)->getFrameNB(), 0u);
    EXPECT_EQ(history->getOutFrameNb(), 0u);
    history->endProcess(0, 0);
}

TEST(SoundAlgoGeometry, ConsumersTakePortsFromTheOffset)
{
    BlockSizeGuard block(64);
    Owned<> three(new SoundAlgoBypass(0, 0, 0, 3));
    ASSERT_EQ(three->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
    three->setOutPortOffset(2);
    EXPECT_EQ(three->getOutPortNumber(), 1u);
    Owned<> two(new SoundAlgoBypass(0, 0, 0, 2));
    EXPECT_EQ(two->initProcess(kRate, 2, 0, three.get(), nullptr), SoundTools::StatusError);
    Owned<> one(new SoundAlgoBypass());
    ASSERT_EQ(one->initProcess(kRate, 2, 0, three.get(), nullptr), SoundTools::StatusOk);
    EXPECT_EQ(one->getInBuffer(0), three->getOutBuffer(2));
    // Frame sizes must match across a connection.
    Owned<> wide(new SoundAlgoBypass(0, 0, 0, 1, 512, 2));
    three->setOutPortOffset(0);
    EXPECT_EQ(wide->initProcess(kRate, 2, 0, three.get(), nullptr), SoundTools::StatusError);
    for (SoundAlgo* n : {three.get(), two.get(), one.get(), wide.get()})
        n->endProcess(0, 0);
}

namespace {

std::shared_ptr<SoundBuffer> stereo(unsigned frames, unsigned rate = kRate)
{
    auto b = SoundBuffer::createNew(rate);
    b->alloc(frames, 2, 1, 1);
    return b;
}

/// A buffer of `frames` frames at `origin`, frame i holding (origin + i, 0).
std::shared_ptr<SoundBuffer> positions(unsigned frames, int origin, unsigned rate = kRate)
{
    auto b = stereo(frames, rate);
    b->setOrigin(origin);
    b->setFrameNB(frames);
    for (unsigned i = 0; i < frames; ++i)
        *b->getRelStereoFrame(int(i)) = {double(origin + int(i)), 0.0};
    return b;
}

/// The left channel of what the writer got (the positions written, in order), compared with [from, to).
void expectWritten(const TestUtil::MemoryWriter& w, int from, int to)
{
    std::vector<double> got, want(std::size_t(to - from));
    for (std::size_t i = 0; i < w.samples.size(); i += 2)
        got.push_back(w.samples[i]);
    std::iota(want.begin(), want.end(), double(from));
    EXPECT_EQ(got, want);
}

} // namespace

TEST(SoundReaderStereoRead, RefusesBuffersItWouldOverrun)
{
    TestUtil::MemoryReader reader(noise(100), kRate);
    auto mono = SoundBuffer::createNew(kRate);
    mono->alloc(100, 1, 1, 1);
    EXPECT_EQ(reader.stereoRead(mono, 0), 0u);
    EXPECT_STRNE(reader.getError(), "");
    EXPECT_EQ(reader.stereoRead(nullptr, 0), 0u);
}

// Readers and writers own a library handle that two copies would both close.
static_assert(!std::is_copy_constructible<SoundReader>::value && !std::is_copy_assignable<SoundReader>::value,
              "readers must not be copyable");
static_assert(!std::is_copy_constructible<SoundWriter>::value && !std::is_copy_assignable<SoundWriter>::value,
              "writers must not be copyable");

TEST(SoundReader, ZeroSampleRateHasNoLength)
{
    TestUtil::MemoryReader noRate(std::vector<double>(20), 0);
    EXPECT_EQ(noRate.getLength(), 0.0);
}

TEST(SoundWriterWriteBuffer, WritesEachFrameOnceInsideTheRange)
{
    // (Overlaps and margins in whole runs: GraphPropertyTest.)
    TestUtil::MemoryWriter ranged(kRate), margin(kRate);
    // Range [44100, 88200) over blocks of 4096 with margin 0.
    ranged.setRange(44100, 88200);
    for (int origin = 0; origin < 100000; origin += 4096)
        EXPECT_FALSE(ranged.writeBuffer(positions(4096, origin), 0)) << origin;
    expectWritten(ranged, 44100, 88200);
    EXPECT_EQ(ranged.getCurrentOffset(), 44100);
    // The margin is held back until a later block.
    EXPECT_FALSE(margin.writeBuffer(positions(4096, 0), 4096));
    EXPECT_TRUE(margin.samples.empty());
    EXPECT_FALSE(margin.writeBuffer(positions(1000, 0), 100));
    expectWritten(margin, 0, 900);
}

TEST(SoundWriterWriteBuffer, GapsAreWarnedMismatchesFail)
{
    TestUtil::MemoryWriter w(kRate);
    EXPECT_FALSE(w.writeBuffer(positions(100, 0), 0));
    // A block 1000 frames after the last one: warned on stderr, written at once.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(w.writeBuffer(positions(50, 1100), 0));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("gap"), std::string::npos);
    EXPECT_EQ(w.getCurrentOffset(), 150);

    TestUtil::MemoryWriter rate(44100);
    EXPECT_TRUE(rate.writeBuffer(positions(10, 0, 48000), 0));
    auto mono = SoundBuffer::createNew(kRate);
    mono->alloc(10, 1, 1, 1);
    mono->setFrameNB(10);
    EXPECT_TRUE(rate.writeBuffer(mono, 0));
    EXPECT_STRNE(rate.getError(), "");
    EXPECT_TRUE(rate.writeBuffer(nullptr, 0));
    EXPECT_TRUE(rate.samples.empty());
}
