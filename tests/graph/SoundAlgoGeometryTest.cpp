// The node contract of a run: buffer sizes, margins, port wiring and frame counts handed from node to node.

#include "TestNodes.h"

using namespace TestUtil;

constexpr unsigned kRate = 44100;

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
