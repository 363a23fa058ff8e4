#include "SoundAlgoLimiter.h"
#include "TestUtil.h"

#include <ebur128.h>

using namespace TestUtil;

namespace {

constexpr unsigned kRate = 44100;
constexpr double kAttack = 0.005;    // seconds
constexpr double kRelease = 0.05;    // seconds
constexpr int kAttackFrames = 221;   // floor(0.005 * 44100 + 0.5)
constexpr int kReleaseFrames = 2205; // floor(0.05 * 44100 + 0.5)
// Products of a few doubles: well inside 1e-12 of the exact value.
constexpr double kTight = 1e-12;
// Larger than the look-ahead and the end padding together, so that the loop
// keeps it: the tests below place events relative to block boundaries.
constexpr unsigned kBlock = 8192;

Owned<SoundAlgoLimiter> makeLimiter(double levelDb, double attack = kAttack, double release = kRelease,
                                    const char* debugFile = nullptr)
{
    return Owned<SoundAlgoLimiter>(new SoundAlgoLimiter(levelDb, attack, release, debugFile));
}

/// Runs `node` over `in` and returns as many output frames as there were
/// input frames. The reader pads the end of the input with up to one
/// look-ahead of silence, which the node passes on; that tail must be silent.
std::vector<double> run(SoundAlgo& node, const std::vector<double>& in)
{
    const RunResult r = runNode(node, in, kRate);
    EXPECT_EQ(r.status, SoundTools::StatusOk) << r.error;
    std::vector<double> out = r.out;
    EXPECT_GE(out.size(), in.size());
    for (size_t k = in.size(); k < out.size(); ++k)
        EXPECT_EQ(out[k], 0.0) << "padding sample " << k;
    out.resize(std::min(out.size(), in.size()));
    return out;
}

/// DC `base` on both channels with single-frame peaks {frame, left value}.
std::vector<double> dcWithPeaks(size_t frames, double base, const std::vector<std::pair<size_t, double>>& peaks)
{
    std::vector<double> s(2 * frames, base);
    for (const auto& p : peaks)
        s[2 * p.first] = p.second;
    return s;
}

/// Gain applied to each frame, read from the left channel (input never 0).
std::vector<double> gains(const std::vector<double>& in, const std::vector<double>& out)
{
    std::vector<double> g(in.size() / 2);
    for (size_t k = 0; k < g.size(); ++k)
        g[k] = out[2 * k] / in[2 * k];
    return g;
}

struct Material {
    std::string name;
    std::vector<double> samples;
};

/// Inputs that push a limiter hard; every one reaches far above full scale.
std::vector<Material> hardMaterial()
{
    std::vector<Material> list;
    {
        // Full-scale impulses in silence, both polarities, one channel or both,
        // at spacings shorter and longer than the attack.
        std::vector<double> s(2 * 40000, 0.0);
        size_t at = 1000;
        for (int n = 0; n < 24; ++n) {
            const double v = n % 2 ? -1.0 : 1.0;
            s[2 * at] = v;
            if (n % 3 == 0)
                s[2 * at + 1] = -v;
            at += n % 4 == 0 ? 37 : 1500;
        }
        list.push_back({"impulses", s});
    }
    {
        // Square bursts from 1 frame to longer than the release, 0 to +18 dB;
        // a burst of about two attack lengths at +18 dB used to drive the gain
        // below zero when a running attack was extended.
        std::vector<double> s;
        const double amps[] = {1.0, 2.0, 4.0, 7.82};
        const size_t lengths[] = {1, 50, 110, 221, 414, 1000, 5000};
        size_t gap = 300;
        for (double a : amps)
            for (size_t len : lengths) {
                s.insert(s.end(), 2 * gap, 0.0);
                for (size_t k = 0; k < len; ++k) {
                    const double v = (k / 40) % 2 ? -a : a;
                    s.push_back(v);
                    s.push_back(v);
                }
                gap = gap * 7 % 3001 + 50;
            }
        list.push_back({"square bursts", s});
    }
    list.push_back({"white noise +12 dB", noise(60000, 20240611, 3.98)});
    {
        // Quiet, then a loud sine swelling in: the gain must follow slow peaks too.
        std::vector<double> s(2 * 50000);
        for (size_t k = 0; k < s.size() / 2; ++k) {
            const double env = k < 10000 ? 0.2 : 0.2 + 3.0 * double(k - 10000) / 40000.0;
            s[2 * k] = env * std::sin(2 * M_PI * 220.0 * k / kRate);
            s[2 * k + 1] = env * std::sin(2 * M_PI * 3100.0 * k / kRate);
        }
        list.push_back({"swelling sine", s});
    }
    return list;
}

/// True peak of `s` (interleaved stereo) in dBTP as libebur128 reads it: its
/// own oversampler, not the one the limiter and the library's meter share.
double meteredTruePeak(const std::vector<double>& s)
{
    ebur128_state* meter = ebur128_init(2, kRate, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_double(meter, s.data(), s.size() / 2);
    double peak = 0.0;
    for (unsigned c = 0; c < 2; ++c) {
        double v = 0.0;
        ebur128_true_peak(meter, c, &v);
        peak = std::max(peak, v);
    }
    ebur128_destroy(&meter);
    return SoundTools::linearToDb(peak);
}

struct LimiterSetup {
    std::string name;
    double levelDb;
    double attack;
    double release;
    unsigned blockFrames;
    /// Above -100: true-peak detection with this ceiling, in dBTP.
    double truePeakCeilingDb = -200.0;
};

} // namespace

TEST(SoundAlgoLimiter, NoOutputSampleAboveCeilingOnAnyInput)
{
    const LimiterSetup setups[] = {
        {"0 dB, one block", 0.0, kAttack, kRelease, 1 << 17},
        {"+12 dB make-up, one block", 12.0, kAttack, kRelease, 1 << 17},
        // The block size grows to the look-ahead (66 frames here), so the
        // attacks and clip ramps keep crossing block boundaries.
        {"0 dB, blocks of 66 frames", 0.0, 0.001, 0.0005, 64},
        {"+6 dB, blocks of 2426 frames", 6.0, kAttack, kRelease, 64},
        {"zero-length attack and release", 0.0, 0.0, 0.0, 1 << 17},
        // True peaks: the ceiling holds for the 4x oversampled output as a
        // BS.1770 meter reads it.
        {"true peak, 0 dB, -1 dBTP", 0.0, kAttack, kRelease, 1 << 17, -1.0},
        {"true peak, +6 dB, -1 dBTP, blocks of 2426 frames", 6.0, kAttack, kRelease, 64, -1.0},
        {"true peak, 0 dB, -3 dBTP", 0.0, kAttack, kRelease, 1 << 17, -3.0},
    };
    for (const auto& setup : setups) {
        for (const auto& material : hardMaterial()) {
            SCOPED_TRACE(setup.name + " / " + material.name);
            BlockSizeGuard blocks(setup.blockFrames);
            auto limiter = makeLimiter(setup.levelDb, setup.attack, setup.release);
            const bool truePeak = setup.truePeakCeilingDb > -100.0;
            if (truePeak) {
                limiter->setTruePeak(true);
                limiter->setCeiling(setup.truePeakCeilingDb);
            }
            const std::vector<double> out = run(*limiter, material.samples);
            ASSERT_EQ(out.size(), material.samples.size());
            double worst = 0.0;
            size_t inverted = 0;
            for (size_t k = 0; k < out.size(); ++k) {
                ASSERT_TRUE(std::isfinite(out[k])) << "sample " << k;
                worst = std::max(worst, std::fabs(out[k]));
                // A negative gain would flip the sign of the signal.
                if (out[k] * material.samples[k] < 0.0)
                    ++inverted;
            }
            EXPECT_EQ(inverted, 0u);
            if (truePeak) {
                const double peakDb = meteredTruePeak(out);
                EXPECT_LE(peakDb, setup.truePeakCeilingDb);
                EXPECT_GT(peakDb, setup.truePeakCeilingDb - 1.0) << "held, not crushed";
                continue;
            }
            EXPECT_LE(worst, SoundAlgoLimiter::sClipThreshold);
            EXPECT_GT(worst, 0.9) << "the material should reach the ceiling";
        }
    }
}

TEST(SoundAlgoLimiter, LonePeakIsMetByALinearAttackAtTheCeiling)
{
    // A DC floor makes the gain visible on every frame; the peak of q alone
    // needs limiting. The gain falls linearly from the make-up level over the
    // attackFrames frames before the peak and meets it at 0.98 / q.
    constexpr size_t kPeak = 5000;
    const struct {
        double levelDb, q;
        double slopeDb; ///< 60 dB is the default 1000 per second
    } cases[] = {{0.0, 1.0, 60.0}, {6.0, 0.5, 60.0}, {0.0, 4.0, 60.0},
                 // 10 per second: far below the 0.755 / 2205 frames the release length alone would ask for.
                 {0.0, 4.0, 20.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "level " << c.levelDb << " dB, peak " << c.q << ", slope " << c.slopeDb);
        const double level = TestUtil::fromDb(c.levelDb);
        const std::vector<double> in = dcWithPeaks(12000, 0.25, {{kPeak, c.q}});
        auto limiter = makeLimiter(c.levelDb);
        limiter->SetSlopeMax(c.slopeDb);
        const std::vector<double> out = run(*limiter, in);
        ASSERT_EQ(out.size(), in.size());
        const std::vector<double> g = gains(in, out);

        for (size_t k = 0; k <= kPeak - kAttackFrames; ++k)
            ASSERT_NEAR(g[k], level, kTight) << "frame " << k << " is before the attack";
        const double target = 0.98 / c.q;
        for (int m = 0; m <= kAttackFrames; ++m)
            ASSERT_NEAR(g[kPeak - kAttackFrames + m], level - m * (level - target) / kAttackFrames, 1e-9)
                << m << " frames into the attack";
        EXPECT_NEAR(out[2 * kPeak], 0.98, 1e-9);
        EXPECT_NEAR(out[2 * kPeak + 1], 0.25 * target, 1e-9);

        // The release then climbs back, never above the make-up gain nor
        // faster than the slope allows, and gets there in the longer of the
        // release length and what the slope allows.
        const double perFrame = TestUtil::fromDb(c.slopeDb) / kRate;
        size_t back = g.size();
        for (size_t k = kPeak + 1; k < g.size(); ++k) {
            ASSERT_LE(g[k], level + kTight) << "frame " << k;
            ASSERT_LE(g[k] - g[k - 1], perFrame * (1.0 + 1e-9)) << "frame " << k;
            if (back == g.size() && g[k] > level * (1.0 - 1e-6))
                back = k;
        }
        EXPECT_NEAR(double(back - kPeak), std::max<double>(kReleaseFrames, (level - target) / perFrame), 3.0);
        EXPECT_NEAR(g.back(), level, 1e-3 * level);
    }
}

TEST(SoundAlgoLimiter, LevelChangesBetweenBlocksApplyFromTheNextBlock)
{
    BlockSizeGuard blocks(kBlock);
    // 2 blocks at 0 dB, one at -6 dB, then +12 dB: the DC of 0.5 then needs
    // 0.98 / 0.5 at once, on the first frame of a block, where no earlier
    // frame of the block can take part of the correction.
    const std::vector<double> in(2 * 50000, 0.5);
    auto limiter = makeLimiter(0.0);
    TestUtil::MemoryReader reader(in, kRate);
    TestUtil::MemoryWriter writer(kRate);

    SoundAlgo::LoopContext context;
    ASSERT_EQ(limiter->initProcessLoop(reader, context), SoundTools::StatusOk);
    ASSERT_EQ(limiter->singleProcessLoop(reader, context, &writer), SoundTools::StatusOk);
    ASSERT_EQ(limiter->singleProcessLoop(reader, context, &writer), SoundTools::StatusOk);
    ASSERT_EQ(writer.samples.size(), 2u * 2 * kBlock);
    limiter->setLevel(-6.0);
    EXPECT_NEAR(limiter->getLevel(1234.5), -6.0, kTight);
    ASSERT_EQ(limiter->singleProcessLoop(reader, context, &writer), SoundTools::StatusOk);
    limiter->setLevel(12.0);
    while (limiter->singleProcessLoop(reader, context, &writer) == SoundTools::StatusOk) {
    }
    limiter->endProcessLoop(context);
    ASSERT_GE(writer.samples.size(), in.size());
    writer.samples.resize(in.size());

    for (size_t k = 0; k < 2 * kBlock; ++k)
        ASSERT_EQ(writer.samples[2 * k], 0.5) << "frame " << k;
    for (size_t k = 2 * kBlock; k < 3 * kBlock; ++k)
        ASSERT_DOUBLE_EQ(writer.samples[2 * k], 0.5 * TestUtil::fromDb(-6.0)) << "frame " << k;
    EXPECT_NEAR(writer.samples[2 * 3 * kBlock], 0.98, 1e-9) << "first frame after the jump to +12 dB";
    for (size_t k = 0; k < writer.samples.size(); ++k)
        ASSERT_LE(writer.samples[k], SoundAlgoLimiter::sClipThreshold) << "sample " << k;
    // The gain settles where the DC meets the ceiling.
    EXPECT_NEAR(writer.samples.back(), 0.98, 1e-3);
}

TEST(SoundAlgoLimiter, EveryRunStartsAtTheMakeUpGain)
{
    BlockSizeGuard blocks(kBlock);
    // The first run stops after one block, in the middle of an attack toward
    // a peak just beyond the block.
    auto limiter = makeLimiter(0.0);
    const std::vector<double> loud = dcWithPeaks(20000, 0.3, {{kBlock + 100, 3.0}});
    TestUtil::MemoryReader loudReader(loud, kRate);
    TestUtil::MemoryWriter loudWriter(kRate);
    SoundAlgo::LoopContext context;
    ASSERT_EQ(limiter->initProcessLoop(loudReader, context), SoundTools::StatusOk);
    ASSERT_EQ(limiter->singleProcessLoop(loudReader, context, &loudWriter), SoundTools::StatusOk);
    context.status = SoundTools::StatusStopped;
    limiter->endProcessLoop(context);
    ASSERT_EQ(loudWriter.samples.size(), 2u * kBlock);
    EXPECT_LT(loudWriter.samples.back(), 0.3 * 0.95) << "the attack had begun";

    const std::vector<double> quiet(2 * 8000, 0.3);
    const std::vector<double> out = run(*limiter, quiet);
    ASSERT_EQ(out.size(), quiet.size());
    for (size_t k = 0; k < out.size(); ++k)
        ASSERT_EQ(out[k], 0.3) << "sample " << k;
}

TEST(SoundAlgoLimiter, DiagnosticFileHoldsTheGainOfEachFrame)
{
    REQUIRE_TOOLS("sox");
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = QDir(dir.path()).filePath("gain.wav").toStdString();
    const double levelDb = 6.0;
    const double level = TestUtil::fromDb(levelDb);
    const std::vector<double> in = dcWithPeaks(15000, 0.25, {{5000, 1.0}, {9000, -2.0}});
    auto limiter = makeLimiter(levelDb, kAttack, kRelease, path.c_str());
    const std::vector<double> g = gains(in, run(*limiter, in));

    unsigned rate = 0;
    const std::vector<double> file = TestUtil::soxReadStereo(path, &rate);
    EXPECT_EQ(rate, kRate);
    // One frame per output frame (mono, doubled by the reader), the end
    // padding included.
    ASSERT_GE(file.size(), in.size());
    double deepest = 0.0;
    for (size_t k = 0; k < g.size(); ++k) {
        // 16-bit samples: written as v * 32767 rounded, read back as n / 32768.
        ASSERT_NEAR(file[2 * k], (g[k] - level) / level, 2.0 / 32768) << "frame " << k;
        deepest = std::min(deepest, file[2 * k]);
    }
    // The second peak needs the gain 0.49 against a level of 2: -0.755.
    EXPECT_NEAR(deepest, 0.49 / level - 1.0, 1e-3);

    // The file belongs to the first run: a second run leaves it alone.
    run(*limiter, std::vector<double>(2 * 1000, 0.1));
    EXPECT_EQ(TestUtil::soxReadStereo(path), file);

    // A file that cannot be created costs the diagnostics, not the output.
    const std::string bad = QDir(dir.path()).filePath("missing/gain.wav").toStdString();
    auto quietLimiter = makeLimiter(0.0, kAttack, kRelease, bad.c_str());
    const std::vector<double> plain(2 * 5000, 0.1);
    EXPECT_EQ(run(*quietLimiter, plain), plain);
}
