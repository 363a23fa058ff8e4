#include "Playback.h"

#include <QSignalSpy>

#include <chrono>
#include <limits>
#include <thread>

using namespace TestUtil;
using TestUtil::MemoryReader;

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
        {1.0, 32767},
        {-1.0, -32768},
        {0.5, 16384},
        {-0.00001, 0},
        {-0.5, -16384},
        {nan, 0},
        {2.5, 32767},
        {-7.0, -32768},
        {32767.9 / 32768, 32767},
        {-100.7 / 32768, -100},
        {1e300, 32767},
        {-1e300, -32768},
        {100.99 / 32768, 100},
    };
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

TEST_F(SoundAlgoDeviceTest, FirstReadWaitsForAFullRing)
{
    const unsigned frames = 10 * kBlock;
    MemoryReader reader(rampSignal(frames), kRate);
    // A slow graph: without the wait the first read would return after one block.
    Owned<ProbeNode> node(new ProbeNode(25));
    TestDevice device(&reader, node.get());
    const unsigned ring = unsigned(SoundAlgoDevice::getCurrentSize());

    device.start();
    char frame[4];
    ASSERT_EQ(device.readData(frame, 4), 4);
    // readData holds one slot and the worker filled the others: exactly one
    // ring of blocks has been processed, no more.
    EXPECT_EQ(device.bytesAvailable(), qint64(frames - ring * kBlock) * 4);
    device.stop();
}

TEST_F(SoundAlgoDeviceTest, StopEndsTheRunAsStoppedAndCanBeRepeated)
{
    const unsigned frames = 12 * kBlock;
    MemoryReader reader(rampSignal(frames), kRate);
    Owned<ProbeNode> node(new ProbeNode());
    TestDevice device(&reader, node.get());
    const unsigned ring = unsigned(SoundAlgoDevice::getCurrentSize());

    device.start();
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

    // The device is ready for another run from the start.
    device.start();
    bool finished = false;
    const std::vector<int16_t> codes = drain(device, 16384, finished);
    ASSERT_TRUE(finished);
    expectRamp(codes, 0, frames);
}

TEST_F(SoundAlgoDeviceTest, StartWhileRunningDoesNothingAndReplayAfterTheEndSoundsTheSame)
{
    const unsigned frames = 6 * kBlock + 100;
    MemoryReader reader(rampSignal(frames), kRate);
    Owned<ProbeNode> node(new ProbeNode());
    {
        TestDevice device(&reader, node.get());
        device.start();
        device.start();
        EXPECT_EQ(node->inits, 1);

        bool finished = false;
        const std::vector<int16_t> first = drain(device, 16384, finished);
        ASSERT_TRUE(finished);
        EXPECT_EQ(node->ends, 0) << "the run is ended by the next start or stop";

        device.start();
        EXPECT_EQ(node->ends, 1);
        EXPECT_EQ(node->lastEndStatus, SoundTools::StatusOk) << "a natural end is not a stop";
        EXPECT_EQ(node->inits, 2);
        const std::vector<int16_t> second = drain(device, 16384, finished);
        ASSERT_TRUE(finished);
        EXPECT_EQ(first, second);
        expectRamp(second, 0, frames);
    }
    EXPECT_EQ(node->ends, 2) << "deleting the device ends the open run";
}

TEST_F(SoundAlgoDeviceTest, AddResourceLeavesARunningRingAlone)
{
    const unsigned frames = 14 * kBlock;
    MemoryReader reader(rampSignal(frames), kRate);
    Owned<ProbeNode> node(new ProbeNode());
    TestDevice device(&reader, node.get());
    const unsigned ring = unsigned(SoundAlgoDevice::getCurrentSize());

    device.start();
    ASSERT_TRUE(waitProcessed(device, frames, ring * kBlock));
    device.addResource();
    EXPECT_EQ(SoundAlgoDevice::getCurrentSize(), int(ring) + 1);
    // Give a worker that wrongly got one more slot the time to fill it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(device.bytesAvailable(), qint64(frames - ring * kBlock) * 4);
    bool finished = false;
    std::vector<int16_t> codes = drain(device, 16384, finished);
    ASSERT_TRUE(finished);
    expectRamp(codes, 0, frames);

    // The next run gets the larger ring.
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
