// Composite nodes: branch alignment, dry / wet graphs, shared and divided inputs, failures, ownership.

#include "GraphTestSupport.h"

#include "SoundAlgoAdd.h"
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
    using SoundAlgoComposite::getBranchDelay;
    using SoundAlgoComposite::setReadOnly;
    using SoundAlgoComposite::SoundAlgoComposite;
};

constexpr double kHalfDb = -6.0205999132796239; // 20 log10(0.5)

/// [wet] beside [dry] (shared inputs), both kept as outputs 0 and 1.
ProbeComposite* dryWet(SoundAlgo* wet, SoundAlgo* dry) { return composite<ProbeComposite>({{wet}, {dry}}); }

/// Outputs x and x/2.
SoundAlgoComposite* split() { return dryWet(new SoundAlgoScale(0.0), new SoundAlgoScale(kHalfDb)); }

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

TEST(SoundAlgoComposite, BranchesOfDifferentDelaysAreAlignedByABypass)
{
    BlockSizeGuard block(100);
    const Samples x = noise(2000);
    ProbeComposite* inner = dryWet(new SoundAlgoBypass(), new SoundAlgoBypass(0, 512));
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
    do {
        EXPECT_EQ(inner->getOutBuffer(0)->getOrigin(), inner->getOutBuffer(1)->getOrigin());
        EXPECT_EQ(inner->getOutBuffer(0)->getFrameNB(), inner->getOutBuffer(1)->getFrameNB());
    } while (outer->singleProcessLoop(reader, context, &writer) == SoundTools::StatusOk);
    outer->endProcessLoop(context);
    EXPECT_EQ(context.status, SoundTools::StatusOk);
    // Both branches now carry x delayed by 512: x[p-512] - 0.5 x[p-512].
    expectFrames(writer.samples, delayed(scaled(x, 0.5), 512), 2512, true, "aligned");
}

TEST(SoundAlgoComposite, SharedAndDividedInputs)
{
    BlockSizeGuard block(32);
    for (bool shared : {true, false}) {
        SCOPED_TRACE(shared ? "shared" : "divided");
        auto* c = composite({{new SoundAlgoScale(0.0)}, {new SoundAlgoScale(-6.0)}}, shared);
        NodeRef ref(c);
        EXPECT_EQ(c->getInputNumber(), shared ? 1u : 2u);
        ASSERT_EQ(c->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusOk);
        EXPECT_EQ(c->getInBuffer(0), c->getBranch(0).front()->getInBuffer(0));
        EXPECT_EQ(c->getInBuffer(shared ? 0 : 1), c->getBranch(1).front()->getInBuffer(0));
        EXPECT_EQ(shared, c->getInBuffer(0) == c->getBranch(1).front()->getInBuffer(0));
        c->endProcess(0, 0);
    }
    // A two-output node before a divided composite: branch 0 takes x, branch 1 x/2; 3x - 4 (x/2) = x (crossed: -2.5x).
    const Samples x = noise(1000, 9);
    SoundAlgoComposite* twoOutputs = split();
    auto* divided = composite({{new SoundAlgoScale(9.5424250943932485)}, {new SoundAlgoScale(12.041199826559248)}},
                              false); // x3, x4
    NodeRef outer(chain({twoOutputs, divided, new SoundAlgoSub(2, true)}));
    const RunResult r = runWhole(*outer, x);
    expectClean(r);
    ASSERT_EQ(r.out.size(), x.size());
    expectFrames(r.out, x, 1000, false, "3x - 4 (x/2)");
    EXPECT_EQ(twoOutputs->getOutPortNumber(), twoOutputs->getOutputNumber()); // offset back to 0
}

TEST(SoundAlgoComposite, AFailingBranchFailsTheBlockWhicheverThreadRanIt)
{
    BlockSizeGuard block(64);
    const Samples x = noise(1000);
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE("failing branch " + std::to_string(failing));
        auto* c = new SoundAlgoComposite(nullptr, true);
        for (int b = 0; b < 4; ++b) {
            if (b > 0)
                c->addNewBranch();
            c->pushAlgo(b == failing ? new FailingNode(3, SoundTools::StatusError) : new SoundAlgoBypass());
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
    auto* c = new SoundAlgoComposite(nullptr, true);
    NodeRef ref(c);
    EXPECT_EQ(c->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_STRNE(c->getError(), "");
    c->pushAlgo(new SoundAlgoBypass());
    c->addNewBranch();
    EXPECT_EQ(c->initProcess(kRate, 2, 0, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_STREQ(c->getError(), "SoundAlgoComposite : branch 1 has no node");
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
        NodeRef outer(chain({c, new SoundAlgoSub(2, true)}));
        const Samples x = noise(500);
        const RunResult first = runWhole(*outer, x);
        const std::size_t nodes = c->getBranch(0).size() + c->getBranch(1).size();
        EXPECT_EQ(first.status, SoundTools::StatusOk);
        EXPECT_EQ(first.out, runWhole(*outer, x).out);
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
