// The device that feeds the audio output: every frame played exactly once as 16-bit PCM, whatever the blocks, stops
// and restarts; live parameter changes through the player's setters, checked on the PCM the device serves (no audio
// output needed).

#include "Playback.h"

#include "RMSStepDetector.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundPlayer.h"

#include <QSignalSpy>

#include <chrono>
#include <cstdio>
#include <future>
#include <limits>
#include <thread>

using namespace TestUtil;

namespace {

class SoundAlgoDeviceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { quietPlaybackLog(); }
    void SetUp() override { SoundBuffer::setDefaultSize(kBlock); }

    /// Every frame of `reader` from `firstFrame` on, as the device must play it.
    static void expectRamp(const std::vector<int16_t>& codes, unsigned firstFrame, unsigned frames)
    {
        ASSERT_EQ(codes.size(), 2 * std::size_t(frames));
        for (unsigned i = 0; i < frames; ++i)
            for (unsigned ch = 0; ch < 2; ++ch)
                if (codes[2 * i + ch] != rampCode(firstFrame + i, ch)) {
                    FAIL() << "frame " << i << " channel " << ch << ": " << codes[2 * i + ch] << " instead of "
                           << rampCode(firstFrame + i, ch);
                }
    }
};

TEST_F(SoundAlgoDeviceTest, ConvertsSamplesTo16BitAndServesWholeFrames)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Pairs of (sample, expected code): scaling by 32768, truncation toward
    // zero, clipping, and NaN as silence.
    const std::vector<std::pair<double, int>> cases = {
        {1.0, 32767}, {-1.0, -32768}, {0.5, 16384}, {-0.00001, 0}, {-0.5, -16384}, {nan, 0}, {2.5, 32767}, {-7.0, -32768}, {32767.9 / 32768, 32767}, {-100.7 / 32768, -100}, {1e300, 32767}, {-1e300, -32768}, {100.99 / 32768, 100}};
    std::vector<double> samples;
    for (const auto& c : cases)
        samples.push_back(c.first);
    samples.resize(2 * kBlock, 0.25);
    MemoryReader reader(samples, kRate);
    Owned<ProbeNode> node(new ProbeNode());
    TestDevice device(&reader, node.get());

    char none[4] = {1, 2, 3, 4};
    EXPECT_EQ(device.readData(none, 0), 0);
    EXPECT_EQ(device.readData(none, -5), 0);

    device.start();
    ASSERT_TRUE(device.isOpen());
    EXPECT_EQ(device.readData(none, 0), 0) << "maxSize 0 must not take a block";

    // 6 bytes hold one whole frame only.
    char six[6] = {0};
    ASSERT_EQ(device.readData(six, 6), 4);
    std::vector<char> rest(4 * kBlock);
    const qint64 got = device.readData(rest.data(), qint64(rest.size()));
    // The rest of the first block comes from that one block.
    ASSERT_EQ(got, qint64(4 * (kBlock - 1)));

    std::vector<char> bytes(six, six + 4);
    bytes.insert(bytes.end(), rest.begin(), rest.begin() + got);
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto low = uint8_t(bytes[2 * k]);
        const auto high = uint8_t(bytes[2 * k + 1]);
        const int code = int16_t(uint16_t(low | high << 8)); // little-endian
        EXPECT_EQ(code, cases[k].second) << "sample " << cases[k].first;
    }
    device.stop();
}

TEST_F(SoundAlgoDeviceTest, PlaysEveryFrameExactlyOnce)
{
    struct Case {
        unsigned frames;
        double startSeconds;
        qint64 chunk;
        bool nullNode;
        int withheld = 0;   ///< blocks without frames at the start
        unsigned shift = 0; ///< silent tail asked by the node, which the loop counts as read
    };
    // Shorter than one block, exactly n blocks, more blocks than the ring, a start point, an empty file, the file
    // through no node at all; more empty blocks than the ring has slots (if each kept its slot the worker and
    // readData would wait for each other forever); a silent tail that must not be played nor wrap bytesAvailable.
    const int pastTheRing = SoundAlgoDevice::getCurrentSize() + 3;
    const Case cases[] = {{1000, 0.0, 16384, false},
                          {3 * kBlock, 0.0, 16384, false},
                          {9 * kBlock + 17, 0.0, 6000, false},
                          {10 * kBlock, 0.5, 4444, false},
                          {0, 0.0, 16384, false},
                          {2 * kBlock + 5, 0.0, 16384, true},
                          {12 * kBlock, 0.0, 16384, false, pastTheRing},
                          {2 * kBlock + 10, 0.0, 16384, false, 0, 300}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.frames << " frames from " << c.startSeconds << " s in chunks of "
                                          << c.chunk << (c.nullNode ? " without node" : "") << ", " << c.withheld
                                          << " empty blocks, tail " << c.shift);
        MemoryReader reader(rampSignal(c.frames), kRate);
        reader.setStartPoint(c.startSeconds);
        Owned<ProbeNode> node(new ProbeNode(0, c.withheld, c.shift));
        TestDevice device(&reader, c.nullNode ? nullptr : node.get());
        QSignalSpy finishedSpy(&device, &QIODevice::readChannelFinished);

        device.start();
        bool finished = false;
        const std::vector<int16_t> codes = drain(device, c.chunk, finished, 20);
        ASSERT_TRUE(finished) << "playback did not reach its end";
        const unsigned first
            = c.frames == 0 ? 0 : unsigned(std::floor(c.startSeconds * kRate + 0.5)) + c.withheld * kBlock;
        expectRamp(codes, first, c.frames - first);
        EXPECT_GE(finishedSpy.count(), 1);
        EXPECT_EQ(device.getStatus(), SoundTools::StatusEnd);
        EXPECT_TRUE(device.atEnd());
        EXPECT_EQ(device.bytesAvailable(), 0);
        // Nothing more once the end was delivered.
        char more[16];
        EXPECT_EQ(device.readData(more, sizeof more), 0);
    }
}

// A stop ends the run as stopped, once; a start while running does nothing; a run that reached its end is ended by
// the next start or by deleting the device, and each new run plays the whole sound again.
TEST_F(SoundAlgoDeviceTest, StopEndsTheRunAsStoppedAndCanBeRepeated)
{
    const unsigned frames = 12 * kBlock + 100;
    MemoryReader reader(rampSignal(frames), kRate);
    Owned<ProbeNode> node(new ProbeNode());
    {
        TestDevice device(&reader, node.get());
        const unsigned ring = unsigned(SoundAlgoDevice::getCurrentSize());
        device.start();
        device.start();
        EXPECT_EQ(node->inits, 1);
        ASSERT_TRUE(device.isRunning());
        // The worker fills the ring and then waits for a free slot.
        ASSERT_TRUE(waitProcessed(device, frames, ring * kBlock));
        device.stop();
        EXPECT_FALSE(device.isRunning());
        EXPECT_FALSE(device.isOpen());
        EXPECT_EQ(device.getStatus(), SoundTools::StatusStopped);
        EXPECT_EQ(node->ends, 1);
        EXPECT_EQ(node->lastEndStatus, SoundTools::StatusStopped) << "nodes must see a stop, not a normal end";
        device.stop();
        EXPECT_EQ(node->ends, 1) << "a second stop must not end the run again";

        device.start();
        bool finished = false;
        const std::vector<int16_t> first = drain(device, 16384, finished);
        ASSERT_TRUE(finished);
        expectRamp(first, 0, frames);
        EXPECT_EQ(node->ends, 1) << "the run is ended by the next start or stop";
        device.start();
        EXPECT_EQ(node->ends, 2);
        EXPECT_EQ(node->lastEndStatus, SoundTools::StatusOk) << "a natural end is not a stop";
        EXPECT_EQ(node->inits, 3);
        const std::vector<int16_t> second = drain(device, 16384, finished);
        ASSERT_TRUE(finished);
        EXPECT_EQ(first, second);
    }
    EXPECT_EQ(node->ends, 3) << "deleting the device ends the open run";
}

TEST_F(SoundAlgoDeviceTest, AddResourceLeavesARunningRingAlone)
{
    const unsigned frames = 14 * kBlock;
    MemoryReader reader(rampSignal(frames), kRate);
    // A slow graph: without the wait for a full ring the first read would return after one block.
    Owned<ProbeNode> node(new ProbeNode(25));
    TestDevice device(&reader, node.get());
    const unsigned ring = unsigned(SoundAlgoDevice::getCurrentSize());
    const qint64 pending = qint64(frames - ring * kBlock) * 4;

    device.start();
    char frame[4];
    ASSERT_EQ(device.readData(frame, 4), 4);
    // readData holds one slot and the worker filled the others: exactly one ring of blocks processed, no more.
    EXPECT_EQ(device.bytesAvailable(), pending);
    device.addResource();
    EXPECT_EQ(SoundAlgoDevice::getCurrentSize(), int(ring) + 1);
    // Give a worker that wrongly got one more slot the time to fill it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(device.bytesAvailable(), pending);
    bool finished = false;
    std::vector<int16_t> codes = drain(device, 16384, finished);
    ASSERT_TRUE(finished);
    expectRamp(codes, 1, frames - 1);

    // The next run gets the larger ring; a start right after the end is not lost while the worker leaves.
    device.start();
    ASSERT_TRUE(waitProcessed(device, frames, (ring + 1) * kBlock));
    codes = drain(device, 10000, finished);
    ASSERT_TRUE(finished);
    expectRamp(codes, 0, frames);
}

TEST_F(SoundAlgoDeviceTest, ParameterChangesAndStopFromSignalSlotsDoNotDeadlock)
{
    const unsigned frames = 8 * kBlock;
    MemoryReader reader(rampSignal(frames), kRate);
    Owned<ProbeNode> node(new ProbeNode());
    TestDevice device(&reader, node.get());
    std::atomic<int> changes{0};
    // Emitted by the worker while it holds the graph lock for its step.
    QObject::connect(node.get(), &SoundAlgo::notifyInProgress, [&](unsigned, unsigned) {
        device.lockAlgo();
        ++changes;
        device.unlockAlgo();
    });
    // Emitted inside readData: change a parameter, then stop the device.
    QObject::connect(&device, &QIODevice::readChannelFinished, [&] {
        device.lockAlgo();
        device.unlockAlgo();
        device.stop();
    });
    device.start();
    bool finished = false;
    const std::vector<int16_t> codes = drain(device, 16384, finished, 20);
    ASSERT_TRUE(finished) << "deadlock";
    EXPECT_EQ(changes, 8);
    expectRamp(codes, 0, frames);
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(node->ends, 1);
}

} // namespace

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
    const std::vector<double> signal = tone(frames, kRate / 64.0, kRate, 0.25);
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
    const std::vector<double> signal = tone(frames, kRate / 64.0, kRate, 0.25);
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
    const std::vector<double> signal = tone(frames, 1000.0, kRate, 0.25);
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
