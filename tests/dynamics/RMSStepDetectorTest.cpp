#include "TestNodes.h"

#include <atomic>
#include <thread>
#include <tuple>

using namespace TestUtil;
using Region = RMSStepDetector::Region;

namespace {

constexpr unsigned kRate = 8000;
constexpr int kWindow = 1600; // 0.2 s at 8000 Hz

// Five stretches of 5 s; steps of at most 25 dB, or the look-ahead share of a much louder stretch
// would split the next region in two.
const std::vector<Stretch> kSteps = {{5, -20}, {5, -35}, {5, -10}, {5, -25}, {5, -45}};

Owned<RMSStepDetector> detector(double minSeconds, double noiseDb, double window = 0.2,
                                RMSStepDetector::OutputMode mode = RMSStepDetector::NoOutput, bool flush = false)
{
    return Owned<RMSStepDetector>(new RMSStepDetector(5.0, minSeconds, noiseDb, window, mode, flush));
}

double levelDb(const Region& r) { return 10.0 * std::log10(std::max(r.powerLeft, r.powerRight)); }
std::tuple<int, int, int> span(const Region& r) { return std::make_tuple(r.start, r.length, r.count); }

std::vector<Region> regionsOf(const RMSStepDetector& d)
{
    std::vector<Region> out;
    for (int i = 0; i < d.size(); ++i)
        out.push_back(d.getRegion(i));
    return out;
}

/// One letter per region: N noise, S signal.
std::string marks(const std::vector<Region>& list)
{
    std::string s;
    for (const Region& r : list)
        s += r.isNoise ? 'N' : 'S';
    return s;
}

} // namespace

TEST(RMSStepDetector, LevelStepsGiveRegionsAndNoiseMarksWhateverTheBlockSize)
{
    const std::vector<double> signal = levelSteps(kSteps, kRate);
    std::vector<Region> first;
    for (unsigned block : {SoundBuffer::getDefaultSize(), 3001u}) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block);
        BlockSizeGuard guard(block);
        Owned<RMSStepDetector> d = detector(2.0, -30.0);
        runNode(*d, signal, kRate);
        const std::vector<Region> r = regionsOf(*d);
        ASSERT_EQ(r.size(), 6u) << "five stretches and the closing region";
        EXPECT_EQ(marks(r), "SSSSNN") << "-45 dB is 35 dB below the loudest region, -35 dB only 25";
        for (size_t i = 0; i < 5; ++i) {
            SCOPED_TRACE(testing::Message() << "stretch " << i);
            EXPECT_NEAR(r[i].start, int(i) * 40000, kWindow) << "found inside the look-ahead window";
            EXPECT_EQ(r[i].start + r[i].length, r[i + 1].start) << "regions tile the stream";
            if (i < 4)
                EXPECT_NEAR(levelDb(r[i]), kSteps[i].rmsDb, 1.0);
        }
        EXPECT_EQ(r[0].start, 0);
        EXPECT_LT(levelDb(r[4]), -40.0);
        EXPECT_EQ(std::make_pair(r[5].start, r[5].count), std::make_pair(200000, 1)) << "closing region at the end";
        EXPECT_EQ(d->GetFullLength(), 200000u);
        EXPECT_EQ(d->GetSegmentsNumber(), 1);
        EXPECT_NEAR(d->getCurrentMax(), fromDb(-10.0), fromDb(-10.0) * 0.05);
        if (first.empty())
            first = r;
        for (size_t i = 0; i < r.size(); ++i) {
            EXPECT_EQ(span(r[i]), span(first[i])) << "region " << i;
            // Window sums restart at every block: equal up to rounding.
            EXPECT_NEAR(r[i].powerLeft, first[i].powerLeft, 1e-9 * first[i].powerLeft + 1e-18) << "region " << i;
        }

        d->mergeRegions();
        EXPECT_EQ(d->size(), 2);
        d->ResetRegions();
        EXPECT_EQ(d->size(), 6) << "the analyses are undone";
        d->reset();
        EXPECT_EQ(d->size(), 0);
        runNode(*d, signal, kRate);
        EXPECT_EQ(d->size(), 6) << "a second run after reset does not append";
    }
}

TEST(RMSStepDetector, LeadingSilenceIsLeftOutInStreamPositions)
{
    const std::vector<double> signal = levelSteps({{1, -300}, {3, -20}}, kRate);
    for (double startSeconds : {0.0, 0.5}) {
        SCOPED_TRACE(testing::Message() << "start " << startSeconds << " s");
        Owned<RMSStepDetector> d = detector(1.0, -40.0);
        runNode(*d, signal, kRate, 0, startSeconds);
        const std::vector<Region> r = regionsOf(*d);
        ASSERT_EQ(r.size(), 2u);
        EXPECT_EQ(r[0].start, 8000 - kWindow + 1) << "first frame whose window reaches frame 8000";
        EXPECT_FALSE(r[0].isNoise);
        EXPECT_EQ(r[1].start, 32000) << "start offset + frames read: the end of the file either way";
        EXPECT_EQ(d->getSignalStart(0.0), 8000 - kWindow + 1);
    }
}

TEST(RMSStepDetector, SilentGapAfterSignalIsMaterialNotLeadingSilence)
{
    // All in the first block: only silence before any signal may be skipped. A square wave of 2^-3
    // has exact squares, so the window power in the gap is exactly 0.
    std::vector<double> signal(2 * 56000, 0.0);
    for (int i = 0; i < 56000; ++i)
        if (i < 16000 || i >= 32000)
            signal[2 * i] = signal[2 * i + 1] = (i / 10) % 2 ? 0.125 : -0.125;
    Owned<RMSStepDetector> d = detector(0.5, -40.0);
    runNode(*d, signal, kRate);
    const std::vector<Region> r = regionsOf(*d);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].start, 0);
    EXPECT_NEAR(r[0].length, 16000, kWindow);
    EXPECT_NEAR(levelDb(r[0]), toDb(0.125), 0.5);
    // r[1] holds the look-ahead tail of the first stretch, r[2] the gap.
    EXPECT_GT(r[2].start, 16000);
    EXPECT_LT(r[2].start, 24000);
    EXPECT_EQ(r[2].powerLeft, 0.0);
    EXPECT_TRUE(r[2].isNoise);
    EXPECT_NEAR(r[3].start, 32000, kWindow);
    EXPECT_FALSE(r[3].isNoise);
    EXPECT_EQ(r[4].start, 56000);
    EXPECT_EQ(d->GetSegmentsNumber(), 2);
}

TEST(RMSStepDetector, LoudAudioThenDigitalSilenceGivesNoNaN)
{
    const std::vector<double> signal = noiseThenSilence(2 * kRate, 1.0);
    // Precondition: a running window sum does end below 0 on this material.
    auto left = [&](int i) { return signal[2 * size_t(i)]; };
    ASSERT_LT(lowestRunningSum(left, 0, int(signal.size() / 2) - kWindow + 1, kWindow), 0.0);

    Owned<RMSStepDetector> d = detector(0.5, -40.0, 0.2, RMSStepDetector::RegionLevel);
    const std::vector<double> out = runNode(*d, signal, kRate).out;
    ASSERT_EQ(out.size(), signal.size());
    for (double v : out)
        ASSERT_FALSE(std::isnan(v));
    for (const Region& r : regionsOf(*d)) {
        EXPECT_GE(r.powerLeft, 0.0);
        EXPECT_GE(r.powerRight, 0.0);
    }
    // The level output follows the region under construction: uniform noise, then 0 in the silence.
    EXPECT_NEAR(toDb(out[2 * 4000]), toDb(1.0 / std::sqrt(3.0)), 0.5);
    EXPECT_LT(out.back(), 1e-6);
}

TEST(RMSStepDetector, FlushEachBlockBuildsTheListWhileRunning)
{
    const int block = 4000;
    Owned<RMSStepDetector> d = detector(2.0, -40.0, 0.2, RMSStepDetector::NoOutput, true); // absolute noise level
    int sizeAfterTenSeconds = 0;
    runBlocks(*d, {levelSteps(kSteps, kRate)}, std::vector<unsigned>(50, block), kRate, [&](size_t i) {
        if (i == 20)
            sizeAfterTenSeconds = d->size();
    });
    EXPECT_GE(sizeAfterTenSeconds, 2) << "the regions of the first 10 s exist before the run ends";

    const std::vector<Region> r = regionsOf(*d);
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(marks(r).substr(0, 5), "SSSSN");
    for (size_t i = 0; i + 1 < r.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "region " << i);
        EXPECT_NEAR(r[i].start, int(i) * 40000, block + kWindow) << "pushed at block ends";
        EXPECT_LT(r[i].start, r[i + 1].start);
        EXPECT_EQ(r[i].start + r[i].length, r[i + 1].start);
    }
    EXPECT_EQ(r[5].start, 200000);
}

TEST(RMSStepDetector, ReadersOnAnotherThreadSeeWholeRegions)
{
    // About 200 regions of 0.6 s: the list reallocates several times while the reader walks it.
    std::vector<Stretch> stretches;
    for (int i = 0; i < 200; ++i)
        stretches.push_back({0.6, i % 2 ? -30.0 : -10.0});
    const std::vector<double> signal = levelSteps(stretches, kRate);
    BlockSizeGuard guard(4000);
    Owned<RMSStepDetector> d = detector(0.5, -40.0, 0.05, RMSStepDetector::NoOutput, true);

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, faults{0};
    std::thread reader([&] {
        int lastSize = 0;
        while (!done.load()) {
            const int n = d->size();
            if (n < lastSize)
                ++faults;
            lastSize = n;
            for (int i = std::max(0, n - 3); i <= n; ++i, ++reads) {
                const Region r = d->getRegion(i);
                const bool whole = std::isfinite(r.powerLeft) && r.powerLeft >= 0 && r.powerRight >= 0
                    && r.length >= 0 && r.count >= 0;
                if (!whole || (i < n && r.count < 1))
                    ++faults;
            }
            d->GetSegmentsNumber();
            d->GetFullLength();
            d->getSignalEnd(0.1);
        }
    });
    runNode(*d, signal, kRate);
    done = true;
    reader.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_GT(d->size(), 100) << "past the room reserved at construction";
}

TEST(RMSStepDetector, AccessorsOnHandMadeLists)
{
    EXPECT_EQ(RMSStepDetector::formatTime(65.25), "00:01:05.250");
    EXPECT_EQ(RMSStepDetector::formatTime(3723.5), "01:02:03.500");
    Owned<Detector> d(new Detector());
    d->setRegions({region(0, 1000, 1e-9, 1e-9, 1000, true), region(1000, 2000, 1e-2, 1e-2, 2000),
                   region(3000, 1000, 1e-2, 1e-2, 1000), region(4000, 500, 1e-9, 1e-9, 500, true),
                   region(4500, 1500, 1e-2, 1e-2, 1500)},
                  1000);
    EXPECT_EQ(d->GetSegmentsNumber(), 2);
    EXPECT_EQ(d->GetFullLength(), 4500u);
    EXPECT_EQ(d->getSignalStart(0.25), 750);
    EXPECT_EQ(d->getSignalStart(2.0), 0) << "never before the stream start";
    EXPECT_EQ(d->getSignalEnd(0.5), 4500 + 1500 - 1 + 500);
    EXPECT_EQ(d->getRegion(5).length, 0);
    EXPECT_EQ(d->getRegion(-1).length, 0);
    d->list().back().isNoise = true;
    EXPECT_EQ(d->getSignalEnd(0.0), 3999);
}

TEST(RMSStepDetector, NoisePassIsRelativeToTheQuieterChannelOfTheLoudest)
{
    Owned<Detector> d(new Detector());
    const double threshold = std::pow(fromDb(-40.0), 2) * 1e-2; // 10^-4 of the reference power
    d->setRegions({region(0, 100, 1.0, 1e-2, 100),              // one-sided: its quieter channel is the reference
                   region(100, 100, threshold, threshold, 100), // exactly at the threshold: noise
                   region(200, 100, threshold * 1.01, 0.0, 100), region(300, 100, 1e-7, 1e-7, 100)},
                  1000);
    auto& list = d->list();
    EXPECT_TRUE(d->applyNoise(-40.0, list.begin(), list.end()));
    EXPECT_EQ(marks(list), "SNSN") << "the louder channel decides for region 2";
    EXPECT_FALSE(d->applyNoise(-40.0, list.begin(), list.end())) << "nothing changed";
    EXPECT_TRUE(d->applyNoise(-80.0, list.begin(), list.end()));
    EXPECT_FALSE(list[1].isNoise);
    EXPECT_FALSE(list[3].isNoise);

    // A detector that flushes every block judges levels absolutely.
    Owned<Detector> live(new Detector(5.0, 5.0, -40.0, 0.2, RMSStepDetector::NoOutput, true));
    live->setRegions({region(0, 100, 1e-3, 1e-3, 100), region(100, 100, 1e-4, 1e-4, 100)}, 1000);
    live->applyNoise(-35.0);
    EXPECT_EQ(marks(live->list()), "SN");
    EXPECT_NEAR(live->getNoiseLevelDb(), -35.0, 1e-12);
}

TEST(RMSStepDetector, EstimateNoiseFindsTheQuietestMaterialAboveTheFloor)
{
    Owned<Detector> d(new Detector());
    // At 1000 Hz, quietDuration 1 s asks for 1000 frames of quiet material per five minutes.
    d->setRegions({region(0, 10000, 1e-2, 1e-2, 10000),     // loudest, -20 dB
                   region(10000, 5000, 1e-6, 1e-6, 5000),   // quietest real material, -60 dB
                   region(15000, 5000, 1e-12, 1e-12, 5000), // 100 dB down: silence for an 80 dB range
                   region(20000, 10000, 1e-4, 1e-4, 10000), // -40 dB
                   region(30000, 1, 0.0, 0.0, 1, true)},
                  1000);
    // The noise lies 5 % above the quiet material, relative to the loudest.
    const double above = toDb(1.05);
    EXPECT_NEAR(d->estimateNoise(1.0, 80.0), -40.0 + above, 1e-9);
    EXPECT_NEAR(d->estimateNoise(0.0, 80.0), -40.0 + above, 1e-9) << "0 s means 1 s";
    EXPECT_NEAR(d->estimateNoise(6.0, 80.0), -20.0 + above, 1e-9) << "6 s: the -40 dB region is taken too";
    EXPECT_NEAR(d->estimateNoise(1.0, 30.0), -20.0 + above, 1e-9) << "30 dB range: -60 dB counts as silence";

    // Ten minutes: twice the quota (2000 frames), which the 1500-frame region alone does not fill.
    d->setRegions({region(0, 300000, 1e-2, 1e-2, 300000), region(300000, 1500, 1e-6, 1e-6, 1500),
                   region(301500, 298500, 1e-4, 1e-4, 298500), region(600000, 1, 0.0, 0.0, 1, true)},
                  1000);
    EXPECT_NEAR(d->estimateNoise(1.0, 80.0), -20.0 + above, 1e-9);
    d->list()[1].length = 2000;
    EXPECT_NEAR(d->estimateNoise(1.0, 80.0), -40.0 + above, 1e-9);

    d->setRegions({region(0, 10000, 1e-2, 1e-2, 10000), region(10000, 1, 0.0, 0.0, 1, true)}, 1000);
    EXPECT_EQ(d->estimateNoise(1.0, 70.0), -70.0) << "nothing quieter than the loudest region";
    d->setRegions({region(0, 10000, 1e-2, 0.0, 10000), region(10000, 5000, 1e-6, 1e-6, 5000)}, 1000);
    EXPECT_EQ(d->estimateNoise(1.0, 70.0), -70.0) << "a loudest region with a silent channel: no infinite level";
    auto& l = d->list();
    EXPECT_EQ(d->estimateNoise(1.0, 50.0, l.begin() + 1, l.begin() + 1), -50.0) << "empty range";
}

TEST(RMSStepDetector, SplitMarksQuietPassagesInsideLongRuns)
{
    Owned<Detector> d(new Detector());
    d->setRegions({region(0, 1000, 1e-9, 1e-9, 1000, true), region(1000, 10000, 1e-2, 1e-2, 10000),
                   region(11000, 5000, 1e-5, 1e-5, 5000), region(16000, 10000, 1e-2, 1e-2, 10000),
                   region(26000, 5000, 1e-9, 1e-9, 5000, true), region(31000, 3000, 1e-5, 1e-5, 3000)},
                  1000);
    d->Split(1.0, 5.0, 60.0);
    // The -50 dB passage is 30 dB below its run, so the local estimate marks it; a run at the
    // end of the list is not examined.
    EXPECT_EQ(marks(d->list()), "NSNSNS");
    d->list()[2].isNoise = false;
    d->Split(1.0, 30.0, 60.0);
    EXPECT_FALSE(d->list()[2].isNoise) << "a run shorter than minRunDuration is left alone";

    Owned<Detector> empty(new Detector());
    empty->Split(1.0, 5.0, 60.0);
    EXPECT_EQ(empty->size(), 0);
}

TEST(RMSStepDetector, MergeFoldsRunsOfEqualMarksWithCountWeights)
{
    Owned<Detector> d(new Detector());
    d->setRegions({region(0, 100, 1e-8, 2e-8, 100, true), region(100, 300, 3e-8, 4e-8, 200, true),
                   region(400, 1000, 1e-2, 2e-2, 1000), region(1400, 500, 4e-2, 1e-2, 250),
                   region(1900, 2000, 1e-3, 1e-3, 750), region(3900, 1, 0.0, 0.0, 1, true)},
                  1000);
    d->mergeRegions();
    const auto& l = d->list();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(marks(l), "NSN");
    EXPECT_EQ(span(l[0]), std::make_tuple(0, 400, 300));
    EXPECT_DOUBLE_EQ(l[0].powerLeft, (1e-8 * 100 + 3e-8 * 200) / 300);
    EXPECT_DOUBLE_EQ(l[0].powerRight, (2e-8 * 100 + 4e-8 * 200) / 300);
    EXPECT_EQ(span(l[1]), std::make_tuple(400, 3500, 2000));
    EXPECT_DOUBLE_EQ(l[1].powerLeft, (1e-2 * 1000 + 4e-2 * 250 + 1e-3 * 750) / 2000);
    EXPECT_DOUBLE_EQ(l[1].powerRight, (2e-2 * 1000 + 1e-2 * 250 + 1e-3 * 750) / 2000);
    EXPECT_EQ(l[2].start, 3900);
}

TEST(RMSStepDetector, CompressDynamicBringsQuietRegionsTowardsTheLoudest)
{
    Owned<Detector> d(new Detector());
    const double e = 0.25; // (1 - 1/ratio)^2 for ratio 2
    // Independent form of the compressed power: level^e * max^(1-e).
    auto compressed = [e](double level) { return std::pow(level, e) * std::pow(1e-2, 1 - e); };
    // One group: a long quiet start, then a loud region fading in two steps.
    d->setRegions({region(0, 100000, 1e-6, 1e-6, 100000), region(100000, 1000, 1e-2, 1e-2, 1000),
                   region(101000, 1000, 1e-3, 1e-3, 1000), region(102000, 1000, 1e-4, 1e-4, 1000)},
                  1000);
    const double correctionDb = d->compressDynamic(2.0);
    const auto& l = d->list();
    EXPECT_NEAR(l[0].powerLeft, compressed(1e-6), 1e-15);
    EXPECT_NEAR(l[1].powerLeft, 1e-2, 1e-15);
    // The fade-out before the last region takes the level of its earliest louder region.
    EXPECT_NEAR(l[2].powerLeft, 1e-2, 1e-15);
    EXPECT_NEAR(l[3].powerLeft, compressed(1e-4), 1e-15);
    EXPECT_NEAR(l[3].powerRight, compressed(1e-4), 1e-15);
    const double gains = 100000 * compressed(1e-6) / 1e-6 + 1000 * 1.0 + 1000 * compressed(1e-3) / 1e-3
        + 1000 * compressed(1e-4) / 1e-4;
    EXPECT_NEAR(correctionDb, 10.0 * std::log10(gains / 103000), 1e-9);

    // Ratio below 1 levels each group at the loudest level, then divides by the group's smallest
    // correction, never by more than 1000 (30 dB).
    d->setRegions({region(0, 1000, 1e-2, 1e-2, 1000), region(1000, 1000, 1e-4, 1e-5, 1000),
                   region(2000, 1000, 1e-9, 1e-9, 1000, true), region(3000, 1000, 1e-4, 1e-4, 1000),
                   region(4000, 1000, 1e-5, 1e-5, 1000), region(5000, 1000, 1e-9, 1e-9, 1000, true),
                   region(6000, 1000, 1e-7, 1e-7, 1000), region(7000, 1000, 1e-9, 1e-9, 1000, true)},
                  1000);
    d->compressDynamic(0.5);
    EXPECT_NEAR(l[1].powerLeft, 1e-2, 1e-15) << "the group of the loudest region is flat at its level";
    EXPECT_NEAR(l[1].powerRight, 1e-3, 1e-15) << "both channels take the same correction";
    EXPECT_NEAR(l[3].powerLeft, 1e-4, 1e-16) << "another group keeps its own loudest level";
    EXPECT_NEAR(l[4].powerLeft, 1e-4, 1e-16);
    EXPECT_NEAR(l[6].powerLeft, 1e-5, 1e-17) << "comes up to 30 dB below the loudest";
    EXPECT_EQ(l[2].powerLeft, 1e-9) << "noise is not touched";

    d->setRegions({region(0, 1000, 1e-9, 1e-9, 1000, true)}, 1000);
    EXPECT_EQ(d->compressDynamic(3.0), -100.0) << "no signal region";
    EXPECT_EQ(d->list()[0].powerLeft, 1e-9);
}
