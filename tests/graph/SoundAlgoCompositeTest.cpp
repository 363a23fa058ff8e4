// Composite nodes: names, failures, empty branches, ownership (alignment and inputs: GraphPropertyTest).

#include "TestNodes.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoSub.h"

using namespace TestUtil;

constexpr unsigned kRate = 44100;

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

TEST(SoundAlgoComposite, Names)
{
    Owned<> plain(new SoundAlgoComposite(nullptr, true));
    EXPECT_STREQ(plain->getName(), "SoundAlgoComposite");
    static_cast<SoundAlgoComposite*>(plain.get())->setId("eq");
    EXPECT_STREQ(plain->getName(), "SoundAlgoComposite(eq)");
    Owned<> named(new SoundAlgoComposite("SoundAlgoFFTMultibandAmplifier:Branches", true));
    EXPECT_STREQ(named->getName(), "SoundAlgoComposite(SoundAlgoFFTMultibandAmplifier:Branches)");
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
        Owned<> outer(chain({c, new SoundAlgoAdd(4, true, nullptr)}));
        const RunResult r = runNode(*outer, x);
        EXPECT_EQ(r.status, SoundTools::StatusError);
        EXPECT_EQ(r.error, "FailingNode : synthetic failure");
        EXPECT_EQ(r.out.size(), 2u * 128); // two blocks written before the failure
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
