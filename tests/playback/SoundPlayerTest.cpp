// Live parameter changes through the player's setters, checked on the PCM the
// device serves (no audio output needed).

#include "Playback.h"

#include "RMSStepDetector.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundPlayer.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <limits>
#include <thread>

using namespace TestUtil;
using TestUtil::MemoryReader;

namespace {

/// A player whose "output" is the test: it pulls the PCM itself.
class CapturePlayer : public SoundPlayer {
public:
    using SoundPlayer::SoundPlayer;
    void start() override { device->start(); }
    void stop() override { device->stop(); }

    /// The next `frames` frames as 16-bit codes, interleaved.
    std::vector<int16_t> read(unsigned frames)
    {
        std::vector<char> bytes(4 * std::size_t(frames));
        const qint64 got = device->read(bytes.data(), qint64(bytes.size()));
        std::vector<int16_t> codes;
        for (qint64 b = 0; b + 1 < got; b += 2)
            codes.push_back(int16_t(uint16_t(uint8_t(bytes[b])) | uint16_t(uint8_t(bytes[b + 1])) << 8));
        return codes;
    }
    SoundAlgoDevice& getDevice() { return *device; }
};

/// Constant-amplitude stereo tone with a whole number of samples per period.
std::vector<double> steadySine(unsigned frames, double amplitude, double periodFrames)
{
    return tone(frames, kRate / periodFrames, kRate, amplitude);
}

/// RMS of a run of 16-bit codes in dB full scale.
double rmsDb(const std::vector<int16_t>& codes, std::size_t from, std::size_t count)
{
    double sum = 0;
    for (std::size_t k = from; k < from + count; ++k)
        sum += (codes[k] / 32768.0) * (codes[k] / 32768.0);
    return 10 * std::log10(std::max(sum / count, 1e-30));
}

/// An amplifier over a detector that analysed `reader` beforehand, so that
/// the level applies from the first block and moves only when told to.
SoundAlgoRMSAmplifier* analysedAmplifier(MemoryReader& reader, double levelDb)
{
    auto* detector = new RMSStepDetector(5.0, 1.0, -80.0, 0.2, RMSStepDetector::PassThrough);
    reader.rewind();
    const unsigned block = SoundBuffer::getDefaultSize();
    detector->processAll(reader, nullptr);
    // The analysis raised the process-wide block size to its window.
    SoundBuffer::setDefaultSize(block);
    // No ramp: the gain changes only through setLevel.
    auto* amplifier = new SoundAlgoRMSAmplifier(levelDb, detector, 0.0, 0, 40.0);
    detector->releaseReference();
    return amplifier;
}

class SoundPlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { quietPlaybackLog(); }
    void SetUp() override { SoundBuffer::setDefaultSize(kBlock); }
};

/// The gain each block of `codes` carries over the signal `in`: the
/// least-squares ratio, or NaN when some sample of the block is off that ratio
/// by more than the 16-bit truncation allows (a gain change inside the block).
std::vector<double> blockGains(const std::vector<int16_t>& codes, const std::vector<double>& in, unsigned block)
{
    std::vector<double> result;
    for (std::size_t start = 0; start < codes.size(); start += 2 * std::size_t(block)) {
        const std::size_t end = std::min(codes.size(), start + 2 * std::size_t(block));
        double xy = 0, xx = 0;
        for (std::size_t k = start; k < end; ++k) {
            xy += in[k] * codes[k] / 32768.0;
            xx += in[k] * in[k];
        }
        const double g = xy / xx;
        bool uniform = true;
        for (std::size_t k = start; k < end && uniform; ++k)
            uniform = std::abs(codes[k] - in[k] * g * 32768.0) <= 1.5;
        result.push_back(uniform ? g : std::nan(""));
    }
    return result;
}

/// 0 for a block at `low`, 1 at `low` raised by `stepDb`, -1 otherwise.
int whichGain(double g, double low, double stepDb)
{
    // 0.01 dB: far finer than the step, far coarser than the rounding.
    const double tolerance = 0.01;
    if (std::abs(SoundTools::linearToDb(g / low)) < tolerance)
        return 0;
    if (std::abs(SoundTools::linearToDb(g / low) - stepDb) < tolerance)
        return 1;
    return -1;
}

TEST_F(SoundPlayerTest, LevelChangeTakesEffectFromTheNextProcessedBlock)
{
    const unsigned frames = 16 * kBlock;
    const std::vector<double> signal = steadySine(frames, 0.25, 64);
    MemoryReader reader(signal, kRate);
    Owned<SoundAlgoRMSAmplifier> amplifier(analysedAmplifier(reader, -20.0));
    CapturePlayer player(&reader, amplifier.get());
    player.setAmplifier(amplifier.get());

    player.start();
    const unsigned before = 3 * kBlock;
    std::vector<int16_t> codes = player.read(before);
    player.setAmpLevel(-14.0);
    const std::vector<int16_t> rest = player.read(frames - before);
    codes.insert(codes.end(), rest.begin(), rest.end());
    ASSERT_EQ(codes.size(), 2 * std::size_t(frames));

    const std::vector<double> gains = blockGains(codes, signal, kBlock);
    std::vector<int> which;
    for (double g : gains)
        which.push_back(whichGain(g, gains[0], 6.0));
    std::size_t firstChanged = which.size();
    for (std::size_t b = 0; b < which.size(); ++b) {
        ASSERT_GE(which[b], 0) << "block " << b << " has gain " << gains[b] << " against " << gains[0] << " at first";
        if (which[b] == 1 && firstChanged == which.size())
            firstChanged = b;
        if (firstChanged < which.size())
            EXPECT_EQ(which[b], 1) << "block " << b << " went back to the old level";
    }
    // The blocks already queued when the change came keep the old level; the
    // next one processed carries the new one.
    const unsigned ring = unsigned(SoundAlgoDevice::getCurrentSize());
    EXPECT_GE(firstChanged, before / kBlock);
    EXPECT_LE(firstChanged, before / kBlock + ring);
    const double latency = double(firstChanged * kBlock - before) / kRate;
    std::printf("[ measure  ] live level change heard %.0f ms of sound later (blocks of %u frames, ring of %u)\n",
                1000 * latency, kBlock, ring);
    player.stop();
}

TEST_F(SoundPlayerTest, ChangesRacingTheWorkerNeverSplitABlock)
{
    // Long blocks, so that many changes arrive while a block is being processed.
    const unsigned block = 65536;
    SoundBuffer::setDefaultSize(block);
    const unsigned frames = 24 * block;
    const std::vector<double> signal = steadySine(frames, 0.25, 64);
    MemoryReader reader(signal, kRate);
    Owned<SoundAlgoRMSAmplifier> amplifier(analysedAmplifier(reader, -20.0));
    CapturePlayer player(&reader, amplifier.get());
    player.setAmplifier(amplifier.get());
    player.start();
    std::atomic<bool> done{false};
    std::atomic<int> changes{0};
    std::thread hammer([&] {
        for (int k = 0; !done; ++k) {
            player.setAmpLevel(k % 2 == 0 ? -14.0 : -20.0);
            ++changes;
            std::this_thread::yield();
        }
    });
    std::vector<int16_t> codes;
    for (unsigned b = 0; b < frames / block; ++b) {
        const std::vector<int16_t> part = player.read(block);
        codes.insert(codes.end(), part.begin(), part.end());
    }
    done = true;
    hammer.join();
    ASSERT_EQ(codes.size(), 2 * std::size_t(frames));
    ASSERT_GT(changes, 1);

    const std::vector<double> gains = blockGains(codes, signal, block);
    // Every block whole at one of the two levels, whichever came first.
    double low = std::numeric_limits<double>::max();
    for (double g : gains)
        if (!std::isnan(g))
            low = std::min(low, g);
    for (std::size_t b = 0; b < gains.size(); ++b)
        EXPECT_GE(whichGain(gains[b], low, 6.0), 0) << "block " << b << " has gain " << gains[b];
    player.stop();
}

TEST_F(SoundPlayerTest, GateAndEqualiserSettersReachTheirNodes)
{
    const unsigned frames = 50 * kBlock;
    // 1 kHz: 44.1 samples per period, close enough to whole periods for RMS
    // over thousands of frames.
    const std::vector<double> signal = steadySine(frames, 0.25, 44.1);
    const double inputDb = 20 * std::log10(0.25 / std::sqrt(2.0));
    const unsigned ring = unsigned(SoundAlgoDevice::getCurrentSize());
    // Frames to play after a change before it is surely heard: the ring of
    // blocks already queued, and the block in progress. The block size is read
    // after start, since a node may raise it to fit its window.
    auto settleFrames = [ring] { return (ring + 1) * SoundBuffer::getDefaultSize(); };

    {
        SCOPED_TRACE("noise gate");
        SoundBuffer::setDefaultSize(kBlock);
        MemoryReader reader(signal, kRate);
        Owned<SoundAlgoNoiseGate> gate(new SoundAlgoNoiseGate(-40.0));
        CapturePlayer player(&reader, gate.get());
        player.setNoiseGate(gate.get());
        player.start();
        const unsigned settle = settleFrames();
        const std::vector<int16_t> open = player.read(settle);
        // Past the gate's start-up (its window reaches into the leading silence).
        EXPECT_NEAR(rmsDb(open, 2 * 2 * kBlock, open.size() - 2 * 2 * kBlock), inputDb, 0.05);
        player.setGateLevel(0.0); // far above the signal
        player.read(settle);
        const std::vector<int16_t> shut = player.read(4 * kBlock);
        for (std::size_t k = 0; k < shut.size(); ++k)
            ASSERT_EQ(shut[k], 0) << "at code " << k;
        player.stop();
    }
    {
        SCOPED_TRACE("equaliser");
        SoundBuffer::setDefaultSize(kBlock);
        // Reference: a node set up beforehand with the same values, run
        // offline; the live change must sound the same once it is heard.
        auto offlineDb = [&](double freq, double width, double gain, std::size_t fromFrame) {
            Owned<SoundAlgoFilterBiquad> fresh(new SoundAlgoFilterBiquad(SoundTools::BandEq, freq, width, gain));
            std::vector<int16_t> codes;
            for (double x : runNode(*fresh, signal, kRate).out)
                codes.push_back(int16_t(std::trunc(x * 32768.0)));
            return rmsDb(codes, 2 * fromFrame, 2 * 8 * kBlock);
        };

        MemoryReader reader(signal, kRate);
        Owned<SoundAlgoFilterBiquad> eq(new SoundAlgoFilterBiquad(SoundTools::BandEq, 1000.0, 1.0, 0.0));
        CapturePlayer player(&reader, eq.get());
        player.setEqualizer(eq.get());
        player.start();
        const unsigned settle = settleFrames();
        const std::vector<int16_t> flat = player.read(settle);
        EXPECT_NEAR(rmsDb(flat, 0, flat.size()), inputDb, 0.05);

        // A peaking band cut by 20 dB at the signal's frequency.
        player.setEqLevel(0, -20.0);
        player.read(settle);
        const std::vector<int16_t> cut = player.read(8 * kBlock);
        const double cutDb = rmsDb(cut, 0, cut.size());
        EXPECT_LT(cutDb, inputDb - 10.0);
        EXPECT_NEAR(cutDb, offlineDb(1000.0, 1.0, -20.0, 2 * settle), 0.01);

        // Moved far up and narrowed, the cut mostly leaves 1 kHz alone.
        player.setEqFreq(0, 16000.0);
        player.setEqWidth(0, 0.3);
        player.read(settle);
        const std::vector<int16_t> moved = player.read(8 * kBlock);
        const double movedDb = rmsDb(moved, 0, moved.size());
        EXPECT_GT(movedDb, inputDb - 5.0);
        EXPECT_NEAR(movedDb, offlineDb(16000.0, 0.3, -20.0, 3 * settle + 8 * kBlock), 0.01);
        player.stop();
    }
}

TEST_F(SoundPlayerTest, SettersWithoutTheirNodeDoNotWaitForTheGraph)
{
    MemoryReader reader(rampSignal(4 * kBlock), kRate);
    CapturePlayer player(&reader, nullptr);
    EXPECT_TRUE(player.isStopped());
    // Hold the graph: a setter that took the lock would wait for ever.
    player.getDevice().lockAlgo();
    auto calls = std::async(std::launch::async, [&] {
        player.setAmpLevel(3.0);
        player.setEqFreq(0, 500.0);
        player.setEqLevel(0, 3.0);
        player.setEqWidth(0, 2.0);
        player.setGateLevel(-10.0);
    });
    const bool returned = calls.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    player.getDevice().unlockAlgo();
    calls.get();
    EXPECT_TRUE(returned);
}

} // namespace
