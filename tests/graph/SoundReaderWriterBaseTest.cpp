// The reader and writer bases at their edges: buffers refused, ranges honoured, gaps and mismatches reported
// (history, padding and overlaps in whole runs: GraphPropertyTest).

#include "TestNodes.h"

#include <numeric>
#include <type_traits>

using namespace TestUtil;

constexpr unsigned kRate = 44100;

namespace {

std::shared_ptr<SoundBuffer> stereo(unsigned frames, unsigned rate = kRate)
{
    auto b = SoundBuffer::createNew(rate);
    b->alloc(frames, 2, 1, 1);
    return b;
}

/// A buffer of `frames` frames at `origin`, frame i holding (origin + i, 0).
std::shared_ptr<SoundBuffer> positions(unsigned frames, int origin, unsigned rate = kRate)
{
    auto b = stereo(frames, rate);
    b->setOrigin(origin);
    b->setFrameNB(frames);
    for (unsigned i = 0; i < frames; ++i)
        *b->getRelStereoFrame(int(i)) = {double(origin + int(i)), 0.0};
    return b;
}

/// The left channel of what the writer got (the positions written, in order), compared with [from, to).
void expectWritten(const TestUtil::MemoryWriter& w, int from, int to)
{
    std::vector<double> got, want(std::size_t(to - from));
    for (std::size_t i = 0; i < w.samples.size(); i += 2)
        got.push_back(w.samples[i]);
    std::iota(want.begin(), want.end(), double(from));
    EXPECT_EQ(got, want);
}

} // namespace

TEST(SoundReaderStereoRead, RefusesBuffersItWouldOverrun)
{
    TestUtil::MemoryReader reader(noise(100), kRate);
    auto mono = SoundBuffer::createNew(kRate);
    mono->alloc(100, 1, 1, 1);
    EXPECT_EQ(reader.stereoRead(mono, 0), 0u);
    EXPECT_STRNE(reader.getError(), "");
    EXPECT_EQ(reader.stereoRead(nullptr, 0), 0u);
}

// Readers and writers own a library handle that two copies would both close.
static_assert(!std::is_copy_constructible<SoundReader>::value && !std::is_copy_assignable<SoundReader>::value,
              "readers must not be copyable");
static_assert(!std::is_copy_constructible<SoundWriter>::value && !std::is_copy_assignable<SoundWriter>::value,
              "writers must not be copyable");

TEST(SoundReader, ZeroSampleRateHasNoLength)
{
    TestUtil::MemoryReader noRate(std::vector<double>(20), 0);
    EXPECT_EQ(noRate.getLength(), 0.0);
    EXPECT_EQ(noRate.getLengthString(), "00:00:00.000");
}

TEST(SoundWriterWriteBuffer, WritesEachFrameOnceInsideTheRange)
{
    // (Overlaps and margins in whole runs: GraphPropertyTest.)
    TestUtil::MemoryWriter ranged(kRate), margin(kRate);
    // Range [44100, 88200) over blocks of 4096 with margin 0.
    ranged.setRange(44100, 88200);
    for (int origin = 0; origin < 100000; origin += 4096)
        EXPECT_FALSE(ranged.writeBuffer(positions(4096, origin), 0)) << origin;
    expectWritten(ranged, 44100, 88200);
    EXPECT_EQ(ranged.getCurrentOffset(), 44100);
    // The margin is held back until a later block.
    EXPECT_FALSE(margin.writeBuffer(positions(4096, 0), 4096));
    EXPECT_TRUE(margin.samples.empty());
    EXPECT_FALSE(margin.writeBuffer(positions(1000, 0), 100));
    expectWritten(margin, 0, 900);
}

TEST(SoundWriterWriteBuffer, GapsAreWarnedMismatchesFail)
{
    TestUtil::MemoryWriter w(kRate);
    EXPECT_FALSE(w.writeBuffer(positions(100, 0), 0));
    // A block 1000 frames after the last one: warned on stderr, written at once.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(w.writeBuffer(positions(50, 1100), 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SoundWriter::WriteBuffer : Warning, there is a gap in the output flow ! 1100->100\n");
    EXPECT_EQ(w.getCurrentOffset(), 150);

    TestUtil::MemoryWriter rate(44100);
    EXPECT_TRUE(rate.writeBuffer(positions(10, 0, 48000), 0));
    EXPECT_STREQ(rate.getError(), "SoundWriter::WriteBuffer : Samplerate conversion not implemented");
    auto mono = SoundBuffer::createNew(kRate);
    mono->alloc(10, 1, 1, 1);
    mono->setFrameNB(10);
    EXPECT_TRUE(rate.writeBuffer(mono, 0));
    EXPECT_STREQ(rate.getError(), "SoundWriter::WriteBuffer : Incorrect number of channels");
    EXPECT_TRUE(rate.writeBuffer(nullptr, 0));
    EXPECT_TRUE(rate.samples.empty());
}
