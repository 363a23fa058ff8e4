#include "DynamicsTestUtil.h"
#include "SoundAlgoRMSAmplifier.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <cmath>
#include <functional>

using namespace DynamicsTest;

namespace {

constexpr unsigned kRate = 8000;
constexpr double kInput = 0.01; // DC on both channels: output / input is the gain

std::vector<double> dc(int frames)
{
    return std::vector<double>(2 * size_t(frames), kInput);
}

/// Power of a region whose RMS lies `db` below full scale.
double power(double db)
{
    return std::pow(10.0, db / 10.0);
}

/// Gain of frame k on the left channel.
double gainAt(const std::vector<double>& out, int k)
{
    return out[2 * size_t(k)] / kInput;
}

/// Drives a run block by block, calling `between(blockIndex)` after each.
std::vector<double> runInBlocks(SoundAlgo& node, const std::vector<double>& signal,
                                const std::function<void(int)>& between)
{
    TestUtil::MemoryReader reader(signal, kRate);
    reader.rewind();
    TestUtil::MemoryWriter writer(kRate);
    SoundAlgo::LoopContext context;
    EXPECT_EQ(node.initProcessLoop(reader, context), SoundTools::StatusOk);
    int block = 0;
    while (node.singleProcessLoop(reader, context, &writer) == SoundTools::StatusOk)
        between(block++);
    node.endProcessLoop(context);
    return writer.samples;
}

class SoundAlgoRMSAmplifierTest : public testing::Test {
protected:
    void SetUp() override
    {
        // "Amp=" lines are wanted by hosts, not in the test log.
        QLoggingCategory::setFilterRules("default.debug=false");
        detector.reset(new Detector());
        // Target -20 dB: region 0 needs 0 dB, region 1 (-30 dB) needs +10 dB.
        detector->setRegions({region(0, 8000, power(-20), power(-20), 8000),
                              region(8000, 16000, power(-30), power(-30), 16000),
                              region(24000, 1, 0.0, 0.0, 1, true)},
                             kRate, power(-20));
    }
    void TearDown() override { QLoggingCategory::setFilterRules(""); }

    Owned<SoundAlgoRMSAmplifier> amplifier(double rampSeconds, double maxGainDb, double levelDb = -20.0)
    {
        return Owned<SoundAlgoRMSAmplifier>(
            new SoundAlgoRMSAmplifier(levelDb, detector.get(), rampSeconds, 0, maxGainDb));
    }

    Owned<Detector> detector;
};

} // namespace

TEST_F(SoundAlgoRMSAmplifierTest, RaisesARegionTenDbBelowTargetAfterALinearRamp)
{
    for (double maxGainDb : {20.0, 6.0}) {
        SCOPED_TRACE(testing::Message() << "max gain " << maxGainDb << " dB");
        const double expectedDb = std::min(10.0, maxGainDb);
        const double target = fromDb(expectedDb);
        auto amp = amplifier(0.1, maxGainDb); // 800 frames
        const std::vector<double> out = runNode(*amp, dc(24000), kRate);
        ASSERT_EQ(out.size(), 2u * 24000);
        EXPECT_DOUBLE_EQ(gainAt(out, 7999), 1.0);
        EXPECT_DOUBLE_EQ(gainAt(out, 8000), 1.0) << "the region change itself takes no ramp step";
        EXPECT_NEAR(gainAt(out, 8400), 1.0 + (target - 1.0) / 2, 1e-12) << "half way up a linear ramp";
        EXPECT_NEAR(toDb(gainAt(out, 8800)), expectedDb, 1e-9);
        EXPECT_NEAR(toDb(gainAt(out, 23999)), expectedDb, 1e-9);
        EXPECT_DOUBLE_EQ(out[2 * 23999 + 1], out[2 * 23999]) << "both channels, balance 1";
    }
    auto stepping = amplifier(0.0, 20.0);
    const std::vector<double> out = runNode(*stepping, dc(24000), kRate);
    EXPECT_NEAR(toDb(gainAt(out, 8000)), 10.0, 1e-9) << "no ramp: the gain steps at the region";
}

TEST_F(SoundAlgoRMSAmplifierTest, HoldsTheGainThroughNoiseUntilTheNextBlock)
{
    // -30 dB signal (+10 dB), noise, then a region that needs no gain.
    detector->setRegions({region(0, 8000, power(-30), power(-30), 8000),
                          region(8000, 8000, power(-70), power(-70), 8000, true),
                          region(16000, 8000, power(-20), power(-20), 8000), region(24000, 1, 0.0, 0.0, 1, true)},
                         kRate, power(-20));
    BlockSizeGuard guard(6000);
    auto amp = amplifier(0.1, 20.0);
    const std::vector<double> out = runNode(*amp, dc(24000), kRate);
    ASSERT_EQ(out.size(), 2u * 24000);
    EXPECT_NEAR(toDb(gainAt(out, 100)), 10.0, 1e-9) << "first region: its gain at once";
    EXPECT_NEAR(toDb(gainAt(out, 8000)), 10.0, 1e-9);
    EXPECT_NEAR(toDb(gainAt(out, 11999)), 10.0, 1e-9) << "held through the noise";
    EXPECT_DOUBLE_EQ(gainAt(out, 12000), 1.0) << "the block starting in noise resets the gain";
    EXPECT_DOUBLE_EQ(gainAt(out, 20000), 1.0);
}

TEST_F(SoundAlgoRMSAmplifierTest, WithoutRegionsOnlyTheBalanceApplies)
{
    Owned<Detector> empty(new Detector());
    Owned<SoundAlgoRMSAmplifier> amp(new SoundAlgoRMSAmplifier(-20.0, empty.get(), 0.1, 0, 20.0));
    amp->setBalanceFromRMS({-20.0, -26.0});
    const std::vector<double> out = runNode(*amp, dc(1000), kRate);
    ASSERT_EQ(out.size(), 2000u);
    EXPECT_DOUBLE_EQ(out[2 * 500], kInput);
    EXPECT_NEAR(out[2 * 500 + 1] / kInput, std::pow(10.0, 6.0 / 20.0), 1e-12) << "the quieter side comes up";

    Owned<SoundAlgoRMSAmplifier> orphan(new SoundAlgoRMSAmplifier(-20.0, nullptr, 0.1, 0, 20.0));
    EXPECT_EQ(runNode(*orphan, dc(1000), kRate), dc(1000));
}

TEST_F(SoundAlgoRMSAmplifierTest, GetLevelWalksForwardAndRewindsPastTheEnd)
{
    detector->list()[0].powerLeft = detector->list()[0].powerRight = power(-25); // +5 dB
    auto amp = amplifier(0.1, 20.0);
    runNode(*amp, dc(100), kRate); // gives the node its sample rate
    EXPECT_NEAR(amp->getLevel(0.5), 5.0, 1e-9);
    EXPECT_NEAR(amp->getLevel(1.5), 10.0, 1e-9);
    EXPECT_NEAR(amp->getLevel(0.5), 10.0, 1e-9) << "the cursor only moves forward";
    EXPECT_EQ(amp->getLevel(10.0), 0.0) << "beyond the last region";
    EXPECT_NEAR(amp->getLevel(0.5), 5.0, 1e-9) << "and the cursor is back at the first region";
}

TEST_F(SoundAlgoRMSAmplifierTest, EveryRunStartsAfresh)
{
    detector->list()[0].powerLeft = detector->list()[0].powerRight = power(-25);
    const std::vector<double> signal = dc(24000);
    auto fresh = amplifier(0.1, 20.0);
    const std::vector<double> first = runNode(*fresh, signal, kRate);
    EXPECT_EQ(runNode(*fresh, signal, kRate), first) << "a replay repeats the first run";

    // From a start point in region 0, after a run that ended in region 1.
    auto other = amplifier(0.1, 20.0);
    const std::vector<double> fromStart = runNode(*other, signal, kRate, 0.5);
    ASSERT_EQ(fromStart.size(), first.size() - 2 * 4000);
    EXPECT_NEAR(toDb(gainAt(fromStart, 0)), 5.0, 1e-9);
    EXPECT_EQ(std::vector<double>(first.begin() + 2 * 4000, first.end()), fromStart);
}

TEST_F(SoundAlgoRMSAmplifierTest, LevelAndResetBetweenBlocksTakeEffectAtOnce)
{
    BlockSizeGuard guard(4000);
    {
        SCOPED_TRACE("setLevel");
        auto amp = amplifier(0.1, 20.0);
        const std::vector<double> out = runInBlocks(*amp, dc(24000), [&](int block) {
            if (block == 2)
                amp->setLevel(-14.0);
        });
        EXPECT_NEAR(toDb(gainAt(out, 11999)), 10.0, 1e-9);
        EXPECT_NEAR(toDb(gainAt(out, 12000)), 16.0, 1e-9) << "no ramp towards the new level";
        EXPECT_NEAR(toDb(gainAt(out, 15999)), 16.0, 1e-9);
    }
    {
        SCOPED_TRACE("reset in the middle of a ramp");
        auto amp = amplifier(1.0, 20.0); // 8000 frames: still ramping at 12000
        const std::vector<double> out = runInBlocks(*amp, dc(24000), [&](int block) {
            if (block == 2)
                amp->reset();
        });
        EXPECT_LT(toDb(gainAt(out, 11999)), 9.0);
        // The region is looked up again and its gain holds; a ramp left
        // running would carry it past the target.
        EXPECT_NEAR(toDb(gainAt(out, 12000)), 10.0, 1e-9);
        EXPECT_NEAR(toDb(gainAt(out, 15999)), 10.0, 1e-9);
    }
}

TEST(SoundAlgoRMSAmplifier, LevelsDetectedRegionsTowardsTheTarget)
{
    QLoggingCategory::setFilterRules("default.debug=false");
    const std::vector<Stretch> stretches = {{6, -20}, {6, -32}, {6, -12}, {6, -26}};
    const std::vector<double> signal = levelSteps(stretches, kRate);
    Owned<RMSStepDetector> detector(new RMSStepDetector(5.0, 2.0, -40.0, 0.2, RMSStepDetector::NoOutput));
    runNode(*detector, signal, kRate);
    ASSERT_EQ(detector->size(), 5);

    Owned<SoundAlgoRMSAmplifier> amp(new SoundAlgoRMSAmplifier(-18.0, detector.get(), 0.5, 0, 20.0));
    const std::vector<double> out = runNode(*amp, signal, kRate);
    ASSERT_EQ(out.size(), signal.size());
    for (size_t s = 0; s < stretches.size(); ++s) {
        SCOPED_TRACE(testing::Message() << "stretch " << s);
        // RMS of the last 4 s of each stretch, after the ramp.
        double sum = 0.0;
        const size_t from = (6 * s + 2) * kRate;
        const size_t to = (6 * s + 6) * kRate;
        for (size_t k = from; k < to; ++k)
            sum += out[2 * k] * out[2 * k];
        // Region powers mix in a little of the neighbouring stretch.
        EXPECT_NEAR(toDb(std::sqrt(sum / (to - from))), -18.0, 1.0);
    }
    QLoggingCategory::setFilterRules("");
}
