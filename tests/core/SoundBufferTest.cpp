// SoundBuffer: geometry, origins, margins and growth; error texts and the stereo frame layout.

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundTools.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

/// A stereo buffer of `frames` frames at `origin`, frame i holding (i, -i).
std::shared_ptr<SoundBuffer> ramp(unsigned frames, int origin)
{
    auto b = SoundBuffer::createNew(44100);
    b->alloc(frames, 2, 1, 1);
    b->setOrigin(origin);
    b->setFrameNB(frames);
    for (unsigned i = 0; i < frames; ++i)
        *b->getRelStereoFrame(int(i)) = {double(i), -double(i)};
    return b;
}

} // namespace

TEST(SoundBuffer, PositionsAndTheLowerBound)
{
    auto b = ramp(300, 1000);
    EXPECT_EQ(b->getEnd(), 1299);
    EXPECT_EQ(b->getFrameNB(1200), 100);
    EXPECT_EQ(b->getStereoFrame(1000)->left, 0.0);
    EXPECT_EQ(b->getStereoFrame(1299)->right, -299.0);
    std::ostringstream diagnostics;
    SoundDebuggableClass::setOStream(&diagnostics);
    EXPECT_EQ(b->getFrame(999), nullptr);
    EXPECT_EQ(b->getRelFrame(-1), nullptr);
    SoundDebuggableClass::setOStream(&std::cout);
}

TEST(SoundBuffer, KeepMarginMovesTheTailToTheFront)
{
    auto b = ramp(300, 1000);
    EXPECT_EQ(b->keepMargin(100), 100u);
    EXPECT_EQ(b->getOrigin(), 1200);
    EXPECT_EQ(b->getRelStereoFrame(0)->left, 200.0);
    EXPECT_EQ(b->getRelStereoFrame(99)->right, -299.0);
    auto full = ramp(300, 1000);
    EXPECT_EQ(full->keepMargin(300), 299u); // at least one frame is dropped
    EXPECT_EQ(full->getOrigin(), 1001);
    EXPECT_EQ(full->getRelStereoFrame(0)->left, 1.0);
    auto empty = SoundBuffer::createNew(44100);
    empty->alloc(50, 2, 1, 1);
    empty->setOrigin(7);
    EXPECT_EQ(empty->keepMargin(5), 0u);
    EXPECT_EQ(empty->getOrigin(), 7);
}

TEST(SoundBuffer, InitialDelayBecomesLeadingSilence)
{
    auto b = ramp(100, 1000);
    b->setInitialDelay(50);
    EXPECT_EQ(b->getOrigin(), 950);
    EXPECT_EQ(b->getFrameNB(), 0u);
    EXPECT_EQ(b->keepMargin(20), 50u);
    for (int i = 0; i < 70; ++i)
        ASSERT_EQ(b->getRelStereoFrame(i)->left, 0.0) << i;
    EXPECT_EQ(b->getRelStereoFrame(70)->left, 70.0); // beyond delay + margin: untouched
    auto small = ramp(30, 0);
    small->setInitialDelay(50);
    EXPECT_EQ(small->keepMargin(20), 50u); // zeroes all 30 allocated frames, no further
    EXPECT_EQ(small->getRelStereoFrame(29)->left, 0.0);
}

TEST(SoundBuffer, GrowingKeepsTheFramesAndAppendsSilence)
{
    auto b = ramp(1000, 0);
    b->alloc(100, 2, 1, 1);
    EXPECT_EQ(b->getFrameNB(), 0u);
    b->setFrameNB(500); // within the array kept by alloc: the frames are still there
    EXPECT_EQ(b->getRelStereoFrame(499)->left, 499.0);
    b->setFrameNB(2000); // beyond it: silence
    EXPECT_EQ(b->getRelStereoFrame(1999)->right, 0.0);
    auto m = ramp(64, 10);
    m->appendMargin(10);
    EXPECT_EQ(m->getFrameNB(), 74u);
    EXPECT_EQ(m->getRelStereoFrame(63)->left, 63.0);
    for (int i = 64; i < 74; ++i)
        EXPECT_EQ(m->getRelStereoFrame(i)->right, 0.0);
    EXPECT_EQ(m->getEnd(), 83);
}

TEST(SoundBuffer, ArithmeticAndCopy)
{
    auto b = ramp(4, 3);
    b->normBuffer(1.0, 2.0); // (i + 1) * 2, (1 - i) * 2
    b->addBuffer(-2.0);      // 2i, -2i
    b->mulBuffer(0.5);       // i, -i
    EXPECT_EQ(b->getRelStereoFrame(3)->left, 3.0);
    EXPECT_EQ(b->getRelStereoFrame(3)->right, -3.0);
    b->setInitialDelay(0);
    b->setFrameNB(4);
    auto copy = SoundBuffer::createNew(8000);
    *copy = *b;
    EXPECT_EQ(copy->getOrigin(), 3);
    EXPECT_EQ(copy->getFrameNB(), 4u);
    EXPECT_EQ(copy->getSampleRate(), 44100u);
    EXPECT_EQ(copy->getRelStereoFrame(2)->right, -2.0);
}

// Jobs in threads of one process each keep their block size, whatever the
// others set; raising it inside a scope (as a run does for a long filter)
// stays in the scope, and the process-wide size comes back after it.
TEST(SoundBuffer, ThreadScopesKeepTheirOwnBlockSize)
{
    const unsigned processWide = SoundBuffer::getDefaultSize();
    std::atomic<int> inside{0};
    unsigned seen[2] = {};
    auto work = [&](int i) {
        SoundBuffer::ThreadScope scope(4096u << i);
        SoundBuffer::setDefaultSize((4096u << i) + 1);
        // Both threads hold their scopes at once before reading.
        ++inside;
        while (inside.load() < 2)
            std::this_thread::yield();
        seen[i] = SoundBuffer::getDefaultSize();
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(seen[0], 4097u);
    EXPECT_EQ(seen[1], 8193u);
    EXPECT_EQ(SoundBuffer::getDefaultSize(), processWide);
    {
        SoundBuffer::ThreadScope outer(1024);
        {
            SoundBuffer::ThreadScope inner(2048);
            EXPECT_EQ(SoundBuffer::getDefaultSize(), 2048u);
        }
        EXPECT_EQ(SoundBuffer::getDefaultSize(), 1024u);
    }
    EXPECT_EQ(SoundBuffer::getDefaultSize(), processWide);
}

TEST(SoundDebuggableClass, ErrorTexts)
{
    struct Debuggable : SoundDebuggableClass {
    } d;
    ASSERT_NE(d.getError(), nullptr);
    EXPECT_STREQ(d.getError(), "");
    d.setError("first", "Ctx");
    EXPECT_STREQ(d.getError(), "Ctx : first");
    d.setError(nullptr, "Other");
    EXPECT_STREQ(d.getError(), "Ctx : first");
    d.setError("second", nullptr);
    EXPECT_STREQ(d.getError(), "second");
    d.setError("", "SoundReaderSndfile");
    EXPECT_STREQ(d.getError(), "SoundReaderSndfile : Unknown system error.");
    d.setError("", nullptr);
    EXPECT_STREQ(d.getError(), "Unknown system error.");
    Debuggable copy(d);
    EXPECT_STREQ(copy.getError(), "Unknown system error.");
    copy = copy;
    EXPECT_STREQ(copy.getError(), "Unknown system error.");
}

TEST(SoundTools, StereoFrameStepsThroughAnInterleavedBuffer)
{
    double samples[] = {1, 2, 3, 4};
    EXPECT_EQ((reinterpret_cast<SoundTools::StereoFrame<double>*>(samples) + 1)->right, 4.0);
    EXPECT_EQ(SoundTools::secondsToFrames(1.5, 44100), 66150);
    EXPECT_EQ(SoundTools::secondsToFrames(0.99999, 1000), 1000); // rounded, not truncated
}
