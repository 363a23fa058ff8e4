// Loudness of synthesised signals in the manner of EBU Tech 3341/3342: known
// answers where the definition gives them, ffmpeg's ebur128 filter as the
// independent meter everywhere else.
#include "TestUtil.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoComposite.h"

#include <fstream>
#include <random>

using namespace TestUtil;

namespace {

constexpr unsigned kRate = 48000;

using Figures = TestUtil::Loudness;

Figures measure(const std::vector<double>& s, SoundAlgoLoudness** keep = nullptr)
{
    Owned<SoundAlgoLoudness> meter(new SoundAlgoLoudness());
    TestUtil::MemoryReader reader(s, kRate);
    EXPECT_EQ(meter->processAll(reader, nullptr), SoundTools::StatusOk);
    EXPECT_EQ(meter->getFrameCount(), s.size() / 2);
    return {meter->getIntegrated(), meter->getLoudnessRange(), meter->getTruePeak(), meter->getSamplePeak()};
}

/// ffmpeg's reading of the same samples (32-bit float, as the node got them up to rounding); false when
/// ffmpeg is missing.
bool ffmpegFigures(const std::vector<double>& s, const QString& dir, Figures& out)
{
    if (!TestUtil::haveTool("ffmpeg"))
        return false;
    const std::string raw = QDir(dir).filePath("signal.f32").toStdString();
    const std::vector<float> f(s.begin(), s.end());
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size() * sizeof(float)));
    out = TestUtil::ffmpegLoudness(raw, "-f f32le -ar 48000 -ac 2");
    return std::isfinite(out.integrated);
}

std::vector<double> sine(const std::vector<std::pair<double, double>>& stretches, double freq, double phase = 0.0)
{
    std::vector<double> s;
    size_t k = 0;
    for (const auto& [seconds, peakDb] : stretches) {
        const double a = TestUtil::fromDb(peakDb);
        for (size_t n = 0; n < size_t(seconds * kRate); ++n, ++k) {
            const double v = a * std::sin(2 * M_PI * freq * double(k) / kRate + phase);
            s.push_back(v);
            s.push_back(v);
        }
    }
    return s;
}

} // namespace

TEST(SoundAlgoLoudness, AgreesWithTheDefinitionAndWithFfmpeg)
{
    std::mt19937 rng(11);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> speechy;
    // Bursts of low-passed noise (most of speech's energy lies below 2 kHz)
    // with pauses and a 20 dB swing: a loudness range to measure.
    double left = 0.0, right = 0.0;
    for (int burst = 0; burst < 40; ++burst) {
        const double a = TestUtil::fromDb(-14.0 - 20.0 * (burst % 5) / 4.0);
        for (size_t n = 0; n < kRate / 2; ++n) {
            left += 0.2 * (gauss(rng) - left);
            right += 0.2 * (gauss(rng) - right);
            speechy.push_back(a * left);
            speechy.push_back(0.8 * a * right);
        }
        speechy.insert(speechy.end(), kRate / 5 * 2, 0.0);
    }
    // A louder sample peak first; then samples 1 dB lower whose peaks between
    // them are 2 dB higher: the later stretch must not be passed over.
    std::vector<double> hiddenPeak = sine({{10.0, -3.0}}, 1000.0);
    const std::vector<double> fs4 = sine({{10.0, -1.0}}, kRate / 4.0, M_PI / 4);
    hiddenPeak.insert(hiddenPeak.end(), fs4.begin(), fs4.end());
    const struct Case {
        const char* name;
        std::vector<double> samples;
        double integrated; ///< NAN: ffmpeg's figure
        double truePeak;   ///< NAN: ffmpeg's figure
        bool truePeakFromFfmpeg;
    } cases[] = {
        // The calibration point of BS.1770: 1 kHz at -23 dBFS on both channels.
        {"1 kHz at -23 dBFS", sine({{20.0, -23.0}}, 1000.0), -23.0, -23.0, true},
        // Steps of level: the relative gate drops the quiet stretch.
        {"steps -36, -23, -30 dBFS", sine({{10.0, -36.0}, {10.0, -23.0}, {10.0, -30.0}}, 1000.0), NAN, -23.0, true},
        {"997 Hz at -6 dBFS", sine({{10.0, -6.0}}, 997.0, 0.3), NAN, -6.0, true},
        // Fs/4 at 45 degrees: every sample 3 dB under the peak between them.
        // ffmpeg's resampler reads this one 0.6 dB high, so the definition is
        // the reference.
        {"Fs/4 at 45 degrees, peak -6 dBFS", sine({{10.0, -6.0}}, kRate / 4.0, M_PI / 4), NAN, -6.02, false},
        {"speech-like bursts", speechy, NAN, NAN, true},
        {"peak between samples after a louder sample", hiddenPeak, NAN, -1.0, false},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Figures f = measure(c.samples);
        if (!std::isnan(c.integrated))
            EXPECT_NEAR(f.integrated, c.integrated, 0.05);
        if (!std::isnan(c.truePeak))
            EXPECT_NEAR(f.truePeak, c.truePeak, 0.2);
        EXPECT_GE(f.truePeak, f.samplePeak);
        Figures ref{};
        if (!ffmpegFigures(c.samples, dir.path(), ref))
            continue;
        // ffmpeg prints one decimal.
        EXPECT_NEAR(f.integrated, ref.integrated, 0.1);
        EXPECT_NEAR(f.range, ref.range, 0.1);
        EXPECT_NEAR(f.samplePeak, ref.samplePeak, 0.06);
        if (c.truePeakFromFfmpeg)
            EXPECT_NEAR(f.truePeak, ref.truePeak, 0.2);
    }
}

TEST(SoundAlgoLoudness, MeasuresTheRunNotItsPaddingAndKeepsAHistory)
{
    // Behind a limiter (whose look-ahead pads the end of the run with silence)
    // the figures are those of the signal alone; silence has no loudness.
    const std::vector<double> s = sine({{3.0, -30.0}, {4.0, -20.0}}, 1000.0);
    const Figures alone = measure(s);
    auto* chain = new SoundAlgoComposite("chain", true);
    Owned<SoundAlgoComposite> chainRef(chain);
    auto* limiter = new SoundAlgoLimiter(0.0, 0.005, 0.5, nullptr);
    auto* meter = new SoundAlgoLoudness(0.5);
    meter->setMeasuredLength(s.size() / 2);
    meter->addReference();
    Owned<SoundAlgoLoudness> meterRef(meter);
    chain->pushAlgo(limiter);
    chain->pushAlgo(meter);
    TestUtil::MemoryReader reader(s, kRate);
    ASSERT_EQ(chain->processAll(reader, nullptr), SoundTools::StatusOk);
    EXPECT_EQ(meter->getFrameCount(), s.size() / 2);
    EXPECT_NEAR(meter->getIntegrated(), alone.integrated, 1e-9);
    EXPECT_NEAR(meter->getLoudnessRange(), alone.range, 1e-9);
    // One short-term reading per half second; the last one covers the
    // -20 dBFS stretch alone.
    ASSERT_EQ(meter->getShortTermHistory().size(), 14u);
    EXPECT_NEAR(meter->getShortTermHistory().back(), -20.0, 0.05);
    EXPECT_NEAR(meter->getShortTermMax(), -20.0, 0.05);
    EXPECT_NEAR(meter->getMomentaryMax(), -20.0, 0.05);

    const Figures silent = measure(std::vector<double>(2 * kRate, 0.0));
    EXPECT_EQ(silent.integrated, SoundAlgoLoudness::sNoLoudness);
    EXPECT_EQ(silent.truePeak, SoundAlgoLoudness::sNoLoudness);
}
