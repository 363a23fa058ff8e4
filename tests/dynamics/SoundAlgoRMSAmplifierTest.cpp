#include "TestNodes.h"
#include "SoundAlgoRMSAmplifier.h"

#include <QLoggingCategory>

using namespace TestUtil;

namespace {

constexpr unsigned kRate = 8000;
constexpr double kInput = 0.01; // DC on both channels: output / input is the gain

std::vector<double> dc(int frames) { return std::vector<double>(2 * size_t(frames), kInput); }
double power(double db) { return std::pow(10.0, db / 10.0); }                                      // of an RMS `db` below full scale
double gainDb(const std::vector<double>& out, int k) { return toDb(out[2 * size_t(k)] / kInput); } // left

class SoundAlgoRMSAmplifierTest : public testing::Test {
protected:
    void SetUp() override
    {
        QLoggingCategory::setFilterRules("default.debug=false"); // "Amp=" lines are for hosts, not the log
        detector.reset(new Detector());
        // Target -20 dB: region 0 needs 0 dB, region 1 (-30 dB) needs +10 dB.
        detector->setRegions({region(0, 8000, power(-20), power(-20), 8000),
                              region(8000, 16000, power(-30), power(-30), 16000),
                              region(24000, 1, 0.0, 0.0, 1, true)},
                             kRate, power(-20));
    }
    void TearDown() override { QLoggingCategory::setFilterRules(""); }

    Owned<SoundAlgoRMSAmplifier> amplifier(double rampSeconds, double maxGainDb = 20.0)
    {
        return Owned<SoundAlgoRMSAmplifier>(new SoundAlgoRMSAmplifier(-20.0, detector.get(), rampSeconds, 0, maxGainDb));
    }

    /// 24000 frames in blocks of 4000, calling `change(amplifier)` after the third block (frame 12000).
    std::vector<double> changedAt12000(double rampSeconds, const std::function<void(SoundAlgoRMSAmplifier&)>& change)
    {
        auto amp = amplifier(rampSeconds);
        return runBlocks(*amp, {dc(24000)}, std::vector<unsigned>(6, 4000), kRate, [&](size_t i) {
            if (i == 3)
                change(*amp);
        })[0];
    }

    Owned<Detector> detector;
};

} // namespace

TEST_F(SoundAlgoRMSAmplifierTest, RaisesARegionTenDbBelowTargetAfterALinearRamp)
{
    for (double maxGainDb : {20.0, 6.0}) {
        SCOPED_TRACE(testing::Message() << "max gain " << maxGainDb << " dB");
        const double expectedDb = std::min(10.0, maxGainDb);
        const std::vector<double> out = runNode(*amplifier(0.1, maxGainDb), dc(24000), kRate).out; // 800-frame ramp
        ASSERT_EQ(out.size(), 2u * 24000);
        EXPECT_DOUBLE_EQ(out[2 * 7999], kInput);
        EXPECT_DOUBLE_EQ(out[2 * 8000], kInput) << "the region change itself takes no ramp step";
        EXPECT_NEAR(out[2 * 8400] / kInput, 1.0 + (fromDb(expectedDb) - 1.0) / 2, 1e-12) << "half way up";
        EXPECT_NEAR(gainDb(out, 8800), expectedDb, 1e-9);
        EXPECT_NEAR(gainDb(out, 23999), expectedDb, 1e-9);
        EXPECT_DOUBLE_EQ(out[2 * 23999 + 1], out[2 * 23999]) << "both channels, balance 1";
    }
    const std::vector<double> out = runNode(*amplifier(0.0), dc(24000), kRate).out;
    EXPECT_NEAR(gainDb(out, 8000), 10.0, 1e-9) << "no ramp: the gain steps at the region";
}

TEST_F(SoundAlgoRMSAmplifierTest, HoldsTheGainThroughNoiseUntilTheNextBlock)
{
    // -30 dB signal (+10 dB), noise, then a region that needs no gain.
    detector->setRegions({region(0, 8000, power(-30), power(-30), 8000),
                          region(8000, 8000, power(-70), power(-70), 8000, true),
                          region(16000, 8000, power(-20), power(-20), 8000), region(24000, 1, 0.0, 0.0, 1, true)},
                         kRate, power(-20));
    BlockSizeGuard guard(6000);
    const std::vector<double> out = runNode(*amplifier(0.1), dc(24000), kRate).out;
    ASSERT_EQ(out.size(), 2u * 24000);
    EXPECT_NEAR(gainDb(out, 100), 10.0, 1e-9) << "first region: its gain at once";
    EXPECT_NEAR(gainDb(out, 8000), 10.0, 1e-9);
    EXPECT_NEAR(gainDb(out, 11999), 10.0, 1e-9) << "held through the noise";
    EXPECT_DOUBLE_EQ(out[2 * 12000], kInput) << "the block starting in noise resets the gain";
    EXPECT_DOUBLE_EQ(out[2 * 20000], kInput);
}

TEST_F(SoundAlgoRMSAmplifierTest, WithoutRegionsOnlyTheBalanceApplies)
{
    Owned<Detector> empty(new Detector());
    Owned<SoundAlgoRMSAmplifier> amp(new SoundAlgoRMSAmplifier(-20.0, empty.get(), 0.1, 0, 20.0));
    amp->setBalanceFromRMS({-20.0, -26.0});
    const std::vector<double> out = runNode(*amp, dc(1000), kRate).out;
    ASSERT_EQ(out.size(), 2000u);
    EXPECT_DOUBLE_EQ(out[2 * 500], kInput);
    EXPECT_NEAR(out[2 * 500 + 1] / kInput, std::pow(10.0, 6.0 / 20.0), 1e-12) << "the quieter side comes up";

    Owned<SoundAlgoRMSAmplifier> orphan(new SoundAlgoRMSAmplifier(-20.0, nullptr, 0.1, 0, 20.0));
    EXPECT_EQ(runNode(*orphan, dc(1000), kRate).out, dc(1000));
}

TEST_F(SoundAlgoRMSAmplifierTest, GetLevelWalksForwardAndRewindsPastTheEnd)
{
    detector->list()[0].powerLeft = detector->list()[0].powerRight = power(-25); // +5 dB
    auto amp = amplifier(0.1);
    runNode(*amp, dc(100), kRate); // gives the node its sample rate
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_NEAR(amp->getLevel(0.5), 5.0, 1e-9);
        EXPECT_NEAR(amp->getLevel(1.5), 10.0, 1e-9);
        EXPECT_EQ(amp->getLevel(10.0), 0.0) << "beyond the last region";
    }
}

TEST_F(SoundAlgoRMSAmplifierTest, EveryRunStartsAfresh)
{
    detector->list()[0].powerLeft = detector->list()[0].powerRight = power(-25);
    const std::vector<double> signal = dc(24000);
    auto fresh = amplifier(0.1);
    const std::vector<double> first = runNode(*fresh, signal, kRate).out;
    EXPECT_EQ(runNode(*fresh, signal, kRate).out, first) << "a replay repeats the first run";

    // From a start point in region 0, after a run that ended in region 1.
    const std::vector<double> fromStart = runNode(*amplifier(0.1), signal, kRate, 0, 0.5).out;
    ASSERT_EQ(fromStart.size(), first.size() - 2 * 4000);
    EXPECT_NEAR(gainDb(fromStart, 0), 5.0, 1e-9);
    EXPECT_EQ(std::vector<double>(first.begin() + 2 * 4000, first.end()), fromStart);
}

TEST_F(SoundAlgoRMSAmplifierTest, LevelAndResetBetweenBlocksTakeEffectAtOnce)
{
    std::vector<double> out = changedAt12000(0.1, [](SoundAlgoRMSAmplifier& a) { a.setLevel(-14.0); });
    EXPECT_NEAR(gainDb(out, 11999), 10.0, 1e-9);
    EXPECT_NEAR(gainDb(out, 12000), 16.0, 1e-9) << "setLevel: no ramp towards the new level";
    EXPECT_NEAR(gainDb(out, 15999), 16.0, 1e-9);

    // A reset in the middle of an 8000-frame ramp: the region is looked up again and its gain
    // holds; a ramp left running would carry it past the target.
    out = changedAt12000(1.0, [](SoundAlgoRMSAmplifier& a) { a.reset(); });
    EXPECT_LT(gainDb(out, 11999), 9.0);
    EXPECT_NEAR(gainDb(out, 12000), 10.0, 1e-9) << "reset";
    EXPECT_NEAR(gainDb(out, 15999), 10.0, 1e-9);
}

TEST_F(SoundAlgoRMSAmplifierTest, LevelsDetectedRegionsTowardsTheTarget)
{
    const std::vector<Stretch> stretches = {{6, -20}, {6, -32}, {6, -12}, {6, -26}};
    const std::vector<double> signal = levelSteps(stretches, kRate);
    Owned<RMSStepDetector> found(new RMSStepDetector(5.0, 2.0, -40.0, 0.2, RMSStepDetector::NoOutput));
    runNode(*found, signal, kRate);
    ASSERT_EQ(found->size(), 5);
    Owned<SoundAlgoRMSAmplifier> amp(new SoundAlgoRMSAmplifier(-18.0, found.get(), 0.5, 0, 20.0));
    const std::vector<double> out = runNode(*amp, signal, kRate).out;
    ASSERT_EQ(out.size(), signal.size());
    for (size_t s = 0; s < stretches.size(); ++s) {
        // RMS of the last 4 s of each stretch, after the ramp; region powers mix in a little of the next.
        double sum = 0.0;
        for (size_t k = (6 * s + 2) * kRate; k < (6 * s + 6) * kRate; ++k)
            sum += out[2 * k] * out[2 * k];
        EXPECT_NEAR(toDb(std::sqrt(sum / (4 * kRate))), -18.0, 1.0) << "stretch " << s;
    }
}
