#include "TestNodes.h"
#include "SoundAlgoFFTMultibandAmplifier.h"
#include "SoundAlgoFilterMultibandAmplifier.h"
#include "SoundAlgoRMSAmplifier.h"

using namespace TestUtil;

namespace {

constexpr unsigned kRate = 44100;

/// A detector that is never run: the amplifiers see its hand-made region.
Owned<TestUtil::Detector> detectorWithOneRegion(double rms, int frames)
{
    Owned<TestUtil::Detector> detector(new TestUtil::Detector());
    detector->setRegions({TestUtil::region(0, frames, rms * rms, rms * rms, frames)}, kRate, rms * rms);
    return detector;
}

std::vector<double> noisySignal(size_t frames, double amplitude, unsigned seed)
{
    std::vector<double> s = makeTestSignal(unsigned(frames), kRate, amplitude), n = noise(unsigned(frames), seed, amplitude / 2);
    for (size_t k = 0; k < s.size(); ++k)
        s[k] += n[k];
    return s;
}

std::vector<double> run(SoundAlgo& node, const std::vector<double>& in)
{
    // Every inner node sizes its buffers by the block: keep them small.
    const RunResult r = runNode(node, in, kRate, 8192);
    EXPECT_EQ(r.status, SoundTools::StatusOk) << r.error;
    return r.out;
}

} // namespace

TEST(SoundAlgoFilterMultibandAmplifier, CrossoverTreeHasABandPerSplitPlusOne)
{
    auto detector = detectorWithOneRegion(0.1, 1000);
    for (const std::vector<double>& crossovers : {std::vector<double>{200.0, 2000.0}, {999.6}}) {
        Owned<SoundAlgoFilterMultibandAmplifier> node(new SoundAlgoFilterMultibandAmplifier(
            crossovers, -20.0, 0.005, 0.05, detector.get(), crossovers.size() == 1, 0));
        EXPECT_EQ(node->getAmplifiers().size(), crossovers.size() + 1);
    }
    Owned<SoundAlgoFilterMultibandAmplifier> none(
        new SoundAlgoFilterMultibandAmplifier({}, -20.0, 0.005, 0.05, detector.get(), false, 0));
    TestUtil::MemoryReader reader(std::vector<double>(200, 0.1), kRate);
    EXPECT_EQ(none->processAll(reader, nullptr), SoundTools::StatusError) << "no crossover, no band";
    none.reset();
    // Every band amplifier holds its own reference on the shared detector;
    // all of them are gone with the nodes.
    EXPECT_EQ(detector->getReferenceCount(), 1);
}

TEST(SoundAlgoFilterMultibandAmplifier, BandsAddUpToTheInputAtUnityGain)
{
    // A detector without regions leaves every amplifier at unity, the signal
    // stays far below the limiters' ceiling: what comes out is the sum of the
    // split bands, scaled by the final limiter's -0.3 dB. The band limiters
    // look ahead inside nested composites, in blocks much shorter than the
    // input: the frames they hold back must still come out, in place.
    const std::vector<double> in = noisySignal(30000, 0.3, 7);
    const double finalGain = std::pow(10.0, -0.3 / 20.0);
    for (const std::vector<double>& crossovers : {std::vector<double>{1000.0}, {150.0, 1200.0, 6000.0}}) {
        for (bool biquad : {false, true}) {
            SCOPED_TRACE(std::to_string(crossovers.size()) + " crossover(s), "
                         + (biquad ? "biquad" : "first-order"));
            Owned<RMSStepDetector> detector(new RMSStepDetector());
            Owned<SoundAlgoFilterMultibandAmplifier> node(new SoundAlgoFilterMultibandAmplifier(
                crossovers, -20.0, 0.005, 0.05, detector.get(), biquad, 0));
            const std::vector<double> out = run(*node, in);
            EXPECT_GE(out.size(), in.size());
            for (size_t k = 0; k < std::min(in.size(), out.size()); ++k)
                // Each split's complement is formed by a subtraction: a few
                // ULPs of the band values per split.
                ASSERT_NEAR(out[k], in[k] * finalGain, 1e-12) << "sample " << k;
        }
    }
}

TEST(SoundAlgoFilterMultibandAmplifier, LevelAndBalanceReachEveryBand)
{
    // One region of RMS 0.05: every band gets the target over 0.05, and the
    // sum is the input times that and the final limiter's -0.3 dB.
    const std::vector<double> in = noisySignal(20000, 0.05, 11);
    auto detector = detectorWithOneRegion(0.05, 20000);
    Owned<SoundAlgoFilterMultibandAmplifier> node(
        new SoundAlgoFilterMultibandAmplifier({300.0, 3000.0}, -20.0, 0.005, 0.05, detector.get(), false, 0));
    const double finalGain = std::pow(10.0, -0.3 / 20.0);
    // Target -20 dB: x2 in every band; -14 dB: x3.99.
    for (double levelDb : {-20.0, -14.0}) {
        SCOPED_TRACE("target " + std::to_string(levelDb) + " dB");
        const double bandGain = std::pow(10.0, levelDb / 20.0) / 0.05;
        node->setLevel(levelDb);
        EXPECT_NEAR(node->getLevel(0.1), 20.0 * std::log10(bandGain), 1e-9);
        const std::vector<double> out = run(*node, in);
        ASSERT_GE(out.size(), in.size());
        for (size_t k = 0; k < in.size(); ++k)
            ASSERT_NEAR(out[k], in[k] * bandGain * finalGain, 1e-9) << "sample " << k;
    }

    // The right channel 6 dB quieter: every band raises it to the left's level.
    node->setLevel(-20.0);
    node->SetBalanceFromRMS({-20.0, -26.0});
    const std::vector<double> out = run(*node, in);
    double gainLeft = 0.0, gainRight = 0.0, inLeft = 0.0, inRight = 0.0;
    for (size_t k = 0; k + 1 < std::min(in.size(), out.size()); k += 2) {
        gainLeft += out[k] * out[k];
        gainRight += out[k + 1] * out[k + 1];
        inLeft += in[k] * in[k];
        inRight += in[k + 1] * in[k + 1];
    }
    // Power ratios, so 10 log10: the right gain over the left gain.
    EXPECT_NEAR(10.0 * std::log10((gainRight / inRight) / (gainLeft / inLeft)), 6.0, 1e-9);
}

TEST(SoundAlgoFFTMultibandAmplifier, LevelZeroBuildsBandsWithoutAmplifiers)
{
    Owned<SoundAlgoFFTMultibandAmplifier> summed(
        new SoundAlgoFFTMultibandAmplifier({200.0, 2000.0}, 0.0, 0.005, 0.05, nullptr, 2048, true));
    EXPECT_TRUE(summed->getAmplifiers().empty());
    summed->setLevel(6.0);
    EXPECT_EQ(summed->getLevel(3.0), 0.0);
    Owned<SoundAlgoFFTMultibandAmplifier> apart(
        new SoundAlgoFFTMultibandAmplifier({200.0, 1000.0, 5000.0}, 0.0, 0.005, 0.05, nullptr, 2048, false));
    EXPECT_EQ(apart->getOutputNumber(), 4u) << "a port per band";
    Owned<RMSStepDetector> detector(new RMSStepDetector());
    Owned<SoundAlgoFFTMultibandAmplifier> levelling(
        new SoundAlgoFFTMultibandAmplifier({500.0}, -20.0, 0.005, 0.05, detector.get(), 1024, true));
    EXPECT_EQ(levelling->getAmplifiers().size(), 2u);
}

TEST(SoundAlgoFFTMultibandAmplifier, SummedBandsGiveBackTonesInThePassBands)
{
    // Tones well inside the bands of crossovers 1000 and 4000 Hz: the sum is
    // the input within the FIRs' 0.5 dB ripple, late by (taps - 1) / 2 =
    // 223 frames (447 taps for a 2048-point transform).
    const size_t frames = 3 * kRate / 2;
    std::vector<double> in(2 * frames);
    for (size_t k = 0; k < frames; ++k) {
        const double t = double(k) / kRate;
        in[2 * k] = 0.3 * std::sin(2 * M_PI * 300.0 * t) + 0.2 * std::sin(2 * M_PI * 2500.0 * t);
        in[2 * k + 1] = 0.3 * std::sin(2 * M_PI * 9000.0 * t + 1.0);
    }
    Owned<SoundAlgoFFTMultibandAmplifier> node(
        new SoundAlgoFFTMultibandAmplifier({1000.0, 4000.0}, 0.0, 0.005, 0.05, nullptr, 2048, true));
    const std::vector<double> out = run(*node, in);
    ASSERT_GE(out.size(), in.size());

    // The lag that matches the output to the input best.
    const size_t from = 4000, to = frames - 4000;
    size_t bestLag = 0;
    double bestError = 1e300;
    // Within one period of the 300 Hz tone (147 frames), the only period all
    // three tones share a lag with.
    for (size_t lag = 0; lag < 147; ++lag) {
        double error = 0.0;
        for (size_t k = from; k < to; k += 7)
            error += std::pow(out[2 * (k + lag)] - in[2 * k], 2) + std::pow(out[2 * (k + lag) + 1] - in[2 * k + 1], 2);
        if (error < bestError) {
            bestError = error;
            bestLag = lag;
        }
    }
    EXPECT_EQ(bestLag, 0u) << "the run compensates the filters' lag";
    std::vector<double> aligned(out.begin() + 2 * bestLag, out.begin() + 2 * bestLag + in.size());
    for (int channel : {0, 1})
        EXPECT_NEAR(powerDb(aligned, channel, from, to) - powerDb(in, channel, from, to), 0.0, 0.5) << channel;
}
