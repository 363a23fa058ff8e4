// Composite nodes: branch alignment (delay, history, provisional tail), dry /
// wet graphs over many small blocks, shared and divided inputs, failures in
// parallel branches, ownership.

#include "GraphTestSupport.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoSub.h"

#include <gtest/gtest.h>

using namespace GraphTest;

namespace {

/// Gives the tests the protected parts of the composite.
class ProbeComposite : public SoundAlgoComposite {
public:
    using SoundAlgoComposite::SoundAlgoComposite;
    using SoundAlgoComposite::getBranchDelay;
    using SoundAlgoComposite::getBranchOverlap;
    using SoundAlgoComposite::setReadOnly;
};

/// [wet] beside [dry] (shared inputs), both kept as outputs 0 and 1.
SoundAlgoComposite* dryWet(SoundAlgo* wet, SoundAlgo* dry)
{
    auto* c = new ProbeComposite(nullptr, true);
    c->pushAlgo(wet);
    c->addNewBranch();
    c->pushAlgo(dry);
    return c;
}

/// A one-branch composite running `nodes` in sequence.
SoundAlgoComposite* chain(std::initializer_list<SoundAlgo*> nodes)
{
    auto* c = new SoundAlgoComposite("chain", true);
    for (SoundAlgo* node : nodes)
        c->pushAlgo(node);
    return c;
}

std::vector<double> scaled(const std::vector<double>& x, double f)
{
    std::vector<double> y(x);
    for (double& v : y)
        v *= f;
    return y;
}

} // namespace

TEST(SoundAlgoComposite, Names)
{
    NodeRef plain(new SoundAlgoComposite(nullptr, true));
    EXPECT_STREQ(plain->getName(), "SoundAlgoComposite");
    static_cast<SoundAlgoComposite*>(plain.node)->setId("eq");
    EXPECT_STREQ(plain->getName(), "SoundAlgoComposite(eq)");
    NodeRef named(new SoundAlgoComposite("SoundAlgoFFTMultibandAmplifier:Branches", true));
    EXPECT_STREQ(named->getName(), "SoundAlgoComposite(SoundAlgoFFTMultibandAmplifier:Branches)");
}

TEST(SoundAlgoComposite, OneBranchBehavesLikeItsNodesInSequence)
{
    BlockSizeGuard block(64);
    const std::vector<double> x = noise(3000);
    NodeRef c(chain({new TestFir(20, 20), new SoundAlgoDelay(33.0 / kRate, true), new SoundAlgoScale(0.0)}));
    EXPECT_EQ(c->getDelay(kRate), 20u);
    EXPECT_EQ(c->getInOverlap(kRate), 20u);
    EXPECT_EQ(c->getOutOverlap(kRate), 0u); // the last node's
    EXPECT_EQ(c->getSampleShift(kRate), 33u);
    const RunResult r = runWhole(*c, x);
    EXPECT_EQ(r.status, SoundTools::StatusOk);
    EXPECT_EQ(r.diagnostics, "");
    expectFrames(r.out, TestFir::reference(x, 20, 20, r.out.size() / 2), 3020, true, "chain");
}

TEST(SoundAlgoComposite, BranchesOfDifferentDelaysAreAlignedByABypass)
{
    BlockSizeGuard block(100);
    const std::vector<double> x = noise(2000);
    auto* inner = static_cast<ProbeComposite*>(dryWet(new SoundAlgoBypass(), new SoundAlgoBypass(0, 512)));
    const double w[] = {1.0, -0.5};
    NodeRef outer(chain({inner, new SoundAlgoAdd(2, true, w)}));

    TestUtil::MemoryReader reader(x, kRate);
    TestUtil::MemoryWriter writer(kRate);
    SoundAlgo::LoopContext context;
    ASSERT_EQ(outer->initProcessLoop(reader, context), SoundTools::StatusOk);
    ASSERT_EQ(inner->getBranch(0).size(), 2u);
    EXPECT_STREQ(inner->getBranch(0).back()->getName(), "SoundAlgoBypass");
    EXPECT_EQ(inner->getBranch(0).back()->getDelay(kRate), 512u);
    EXPECT_EQ(inner->getBranch(1).size(), 1u);
    EXPECT_EQ(inner->getBranchDelay(kRate, 0), inner->getBranchDelay(kRate, 1));
    EXPECT_EQ(inner->getOutBuffer(0)->getOrigin(), inner->getOutBuffer(1)->getOrigin());
    while (outer->singleProcessLoop(reader, context, &writer) == SoundTools::StatusOk) {
        EXPECT_EQ(inner->getOutBuffer(0)->getOrigin(), inner->getOutBuffer(1)->getOrigin());
        EXPECT_EQ(inner->getOutBuffer(0)->getFrameNB(), inner->getOutBuffer(1)->getFrameNB());
    }
    outer->endProcessLoop(context);
    EXPECT_EQ(context.status, SoundTools::StatusOk);
    // Both branches now carry x delayed by 512: x[p-512] - 0.5 x[p-512].
    std::vector<double> want(2 * 512, 0.0);
    const std::vector<double> half = scaled(x, 0.5);
    want.insert(want.end(), half.begin(), half.end());
    expectFrames(writer.samples, want, 2512, true, "aligned");
}

TEST(SoundAlgoComposite, DryWetGivesWhatEachBranchGivesAloneOverManySmallBlocks)
{
    // The wet branch needs history, the dry one none: the dry branch must
    // neither drift ahead block after block nor see a frame twice (the
    // stateful integrator would show it).
    const std::vector<double> x = noise(6000, 5);
    struct Case {
        unsigned history, delay;
        bool wetFirst, statefulDry;
    };
    for (const Case c : {Case{100, 0, true, false}, Case{100, 0, false, true}, Case{100, 100, true, true},
                         Case{37, 250, false, false}, Case{256, 0, true, true}}) {
        SCOPED_TRACE("history " + std::to_string(c.history) + " delay " + std::to_string(c.delay)
                     + (c.wetFirst ? " wet first" : " dry first") + (c.statefulDry ? " integrator" : " bypass"));
        BlockSizeGuard block(32);
        NodeRef alone(new TestFir(c.history, c.delay));
        const RunResult wetAlone = runWhole(*alone, x);
        const std::vector<double> wetWant = TestFir::reference(x, c.history, c.delay, 6000 + c.delay);
        expectFrames(wetAlone.out, wetWant, 6000 + c.delay, false, "wet alone");
        // The dry branch comes out aligned on the wet one's delay.
        std::vector<double> dryWant(2 * c.delay, 0.0);
        const std::vector<double> dryAlone = c.statefulDry ? TestIntegrator::reference(x) : x;
        dryWant.insert(dryWant.end(), dryAlone.begin(), dryAlone.end());
        auto makeDry = [&]() -> SoundAlgo* {
            return c.statefulDry ? static_cast<SoundAlgo*>(new TestIntegrator()) : new SoundAlgoBypass();
        };

        const unsigned wetPort = c.wetFirst ? 0 : 1;
        for (unsigned port : {0u, 1u}) {
            SCOPED_TRACE("port " + std::to_string(port));
            SoundAlgo* wet = new TestFir(c.history, c.delay);
            SoundAlgoComposite* mix = c.wetFirst ? dryWet(wet, makeDry()) : dryWet(makeDry(), wet);
            NodeRef outer(chain({mix, new SoundAlgoSelectChannel(static_cast<int>(port), 2)}));
            const RunResult r = runWhole(*outer, x);
            EXPECT_EQ(r.status, SoundTools::StatusOk) << r.error;
            EXPECT_EQ(r.diagnostics, "");
            if (port == wetPort)
                expectFrames(r.out, wetAlone.out, 6000 + c.delay, false, "wet in the mix");
            else
                expectFrames(r.out, dryWant, 6000 + c.delay, !c.statefulDry, "dry in the mix");
        }
        // Wet minus dry, through a subtraction fed by both outputs.
        NodeRef diff(chain({dryWet(new TestFir(c.history, c.delay), makeDry()), new SoundAlgoSub(2, true)}));
        const RunResult d = runWhole(*diff, x);
        EXPECT_EQ(d.status, SoundTools::StatusOk);
        std::vector<double> want(wetWant);
        for (std::size_t i = 0; i < want.size(); ++i)
            want[i] -= dryWant[i];
        expectFrames(d.out, want, 6000 + c.delay, false, "wet - dry");
    }
}

TEST(SoundAlgoComposite, BranchesWithDifferentProvisionalTailsStayAligned)
{
    // One branch ends with 300 provisional frames, the other with none; a
    // branch with history and a select in front of a consumer with history.
    BlockSizeGuard block(64);
    const std::vector<double> x = noise(4000, 7);
    NodeRef diff(chain({dryWet(new SoundAlgoDelay(300.0 / kRate, true), new SoundAlgoScale(-6.0205999132796239)),
                        new SoundAlgoSub(2, true)}));
    const RunResult r = runWhole(*diff, x);
    EXPECT_EQ(r.status, SoundTools::StatusOk) << r.error;
    EXPECT_EQ(r.diagnostics, "");
    expectFrames(r.out, scaled(x, 0.5), 4000, true, "x - x/2");

    NodeRef selected(chain({dryWet(new SoundAlgoDelay(50.0 / kRate, true), new SoundAlgoBypass()),
                            new SoundAlgoSelectChannel(1, 2), new TestFir(40, 0)}));
    const RunResult s = runWhole(*selected, x);
    EXPECT_EQ(s.status, SoundTools::StatusOk) << s.error;
    EXPECT_EQ(s.diagnostics, "");
    // The loop pads the history of the top node only: an inner node that looks
    // 40 frames ahead and declares no sample shift keeps its last 40 frames.
    expectFrames(s.out, TestFir::reference(x, 40, 0, s.out.size() / 2), 4000 - 40, true, "select then fir");
}

TEST(SoundAlgoComposite, NestedCompositesStayAligned)
{
    // A crossover tree: a split feeds a divided composite whose second branch
    // splits again into another divided composite. The look-ahead nodes keep
    // margins inside the inner composites; the outer alignment must see them.
    BlockSizeGuard block(256);
    const std::vector<double> x = noise(8000, 3);
    auto split = [] { return dryWet(new SoundAlgoScale(0.0), new SoundAlgoScale(-6.0205999132796239)); };
    auto* inner2 = new SoundAlgoComposite("inner2", false);
    inner2->pushAlgo(new SoundAlgoScale(0.0));
    inner2->pushAlgo(new TestFir(300, 0, 300));
    inner2->addNewBranch();
    inner2->pushAlgo(new SoundAlgoScale(0.0));
    auto* inner = new SoundAlgoComposite("inner", false);
    inner->pushAlgo(new SoundAlgoScale(0.0));
    inner->pushAlgo(new TestFir(300, 0, 300));
    inner->addNewBranch();
    inner->pushAlgo(split());
    inner->pushAlgo(inner2);
    inner->pushAlgo(new SoundAlgoAdd(2, true, nullptr));
    NodeRef outer(chain({split(), inner, new SoundAlgoAdd(2, true, nullptr), new TestFir(100, 0, 100)}));
    const RunResult r = runWhole(*outer, x);
    EXPECT_EQ(r.status, SoundTools::StatusOk) << r.error;
    EXPECT_EQ(r.diagnostics, "");
    // fir(x) + (fir(x/2) + x/4), then the last fir: fir(1.5 fir(x) + 0.25 x).
    const std::vector<double> f = TestFir::reference(x, 300, 0, 8000);
    std::vector<double> mix(f.size());
    for (std::size_t i = 0; i < mix.size(); ++i)
        mix[i] = 1.5 * f[i] + 0.25 * x[i];
    expectFrames(r.out, TestFir::reference(mix, 100, 0, 8000), 8000, false, "tree");
}

TEST(SoundAlgoComposite, SharedAndDividedInputs)
{
    BlockSizeGuard block(32);
    {
        NodeRef shared(dryWet(new SoundAlgoScale(0.0), new SoundAlgoScale(-6.0)));
        auto* c = static_cast<SoundAlgoComposite*>(shared.node);
        EXPECT_EQ(c->getInputNumber(), 1u);
        ASSERT_EQ(c->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
        EXPECT_EQ(c->getBranch(0).front()->getInBuffer(0), c->getBranch(1).front()->getInBuffer(0));
        EXPECT_EQ(c->getInBuffer(0), c->getBranch(0).front()->getInBuffer(0));
        c->endProcess(0, 0);
    }
    {
        NodeRef divided(new SoundAlgoComposite(nullptr, false));
        auto* c = static_cast<SoundAlgoComposite*>(divided.node);
        c->pushAlgo(new SoundAlgoScale(0.0));
        c->addNewBranch();
        c->pushAlgo(new SoundAlgoScale(-6.0));
        EXPECT_EQ(c->getInputNumber(), 2u);
        ASSERT_EQ(c->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
        EXPECT_EQ(c->getInBuffer(0), c->getBranch(0).front()->getInBuffer(0));
        EXPECT_EQ(c->getInBuffer(1), c->getBranch(1).front()->getInBuffer(0));
        EXPECT_NE(c->getInBuffer(0), c->getInBuffer(1));
        c->endProcess(0, 0);
    }
    {
        // A node of two outputs before a divided composite: branch 0 takes
        // output 0 (x), branch 1 output 1 (x/2); 3x - 2 (x/2) = 2x. Crossed
        // wiring would give 1.5x - 2x.
        const std::vector<double> x = noise(1000, 9);
        auto* split = dryWet(new SoundAlgoScale(0.0), new SoundAlgoScale(-6.0205999132796239));
        auto* divided = new SoundAlgoComposite(nullptr, false);
        divided->pushAlgo(new SoundAlgoScale(9.5424250943932485)); // x3
        divided->addNewBranch();
        divided->pushAlgo(new SoundAlgoScale(12.041199826559248)); // x4
        NodeRef outer(chain({split, divided, new SoundAlgoSub(2, true)}));
        const RunResult r = runWhole(*outer, x);
        EXPECT_EQ(r.status, SoundTools::StatusOk);
        ASSERT_EQ(r.out.size(), x.size());
        for (std::size_t i = 0; i < x.size(); ++i)
            ASSERT_NEAR(r.out[i], x[i], 1e-12) << i;
        EXPECT_EQ(split->getOutPortNumber(), split->getOutputNumber()); // offset back to 0
    }
}

TEST(SoundAlgoComposite, AFailingBranchFailsTheBlockWhicheverThreadRanIt)
{
    BlockSizeGuard block(64);
    const std::vector<double> x = noise(1000);
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE("failing branch " + std::to_string(failing));
        auto* c = new SoundAlgoComposite(nullptr, true);
        for (int b = 0; b < 4; ++b) {
            if (b > 0)
                c->addNewBranch();
            c->pushAlgo(b == failing ? static_cast<SoundAlgo*>(new FailingNode(3, SoundTools::StatusError))
                                     : new SoundAlgoBypass());
        }
        NodeRef outer(chain({c, new SoundAlgoAdd(4, true, nullptr)}));
        const RunResult r = runWhole(*outer, x);
        EXPECT_EQ(r.status, SoundTools::StatusError);
        EXPECT_EQ(r.error, "FailingNode : synthetic failure");
        EXPECT_EQ(r.out.size(), 2u * 128); // two blocks written before the failure
    }
    // Results are OR-ed: 1 | 2 is neither a plain failure nor success.
    NodeRef outer(chain({dryWet(new FailingNode(1, SoundTools::StatusError),
                                new FailingNode(1, SoundTools::StatusStopped)),
                         new SoundAlgoSub(2, true)}));
    EXPECT_EQ(runWhole(*outer, x).status, SoundTools::StatusStopped);
}

TEST(SoundAlgoComposite, EmptyBranchesFailWithAText)
{
    NodeRef c(new SoundAlgoComposite(nullptr, true));
    auto* composite = static_cast<SoundAlgoComposite*>(c.node);
    EXPECT_EQ(composite->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_STRNE(composite->getError(), "");
    composite->pushAlgo(new SoundAlgoBypass());
    composite->addNewBranch();
    EXPECT_EQ(composite->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_STREQ(composite->getError(), "SoundAlgoComposite : branch 1 has no node");
    TestUtil::MemoryReader reader(noise(10), kRate);
    EXPECT_EQ(composite->processAll(reader, nullptr), SoundTools::StatusError);
    EXPECT_STREQ(composite->getError(), "SoundAlgoComposite : branch 1 has no node");
}

TEST(SoundAlgoComposite, OwnsItsNodesAndRunsAgainUnchanged)
{
    BlockSizeGuard block(32);
    int deletions = 0;
    auto* kept = new CountedNode(&deletions);
    {
        auto* c = new ProbeComposite(nullptr, true);
        c->pushAlgo(new CountedNode(&deletions));
        c->pushAlgo(new TestFir(10, 0));
        c->addNewBranch();
        kept->addReference(); // as a device would
        c->pushAlgo(kept);
        NodeRef outer(chain({c, new SoundAlgoSub(2, true)}));
        const std::vector<double> x = noise(500);
        const RunResult first = runWhole(*outer, x);
        const std::size_t nodes = c->getBranch(0).size() + c->getBranch(1).size();
        const RunResult second = runWhole(*outer, x);
        EXPECT_EQ(first.status, SoundTools::StatusOk);
        EXPECT_EQ(first.out, second.out);
        EXPECT_EQ(nodes, c->getBranch(0).size() + c->getBranch(1).size()); // no alignment node added twice

        c->setReadOnly();
        NodeRef refused(new SoundAlgoBypass());
        c->pushAlgo(refused.node); // ignored: the caller keeps its reference
        c->addNewBranch();
        EXPECT_EQ(c->getBranchNumber(), 2u);
    }
    EXPECT_EQ(deletions, 1);
    kept->releaseReference();
    EXPECT_EQ(deletions, 2);
}
