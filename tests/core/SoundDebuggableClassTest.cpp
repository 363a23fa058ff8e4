// Error texts and the stereo frame layout.

#include "SoundDebuggableClass.h"
#include "SoundTools.h"

#include <gtest/gtest.h>

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
    auto* frame = reinterpret_cast<SoundTools::StereoFrame<double>*>(samples);
    EXPECT_EQ((frame + 1)->left, 3.0);
    EXPECT_EQ((frame + 1)->right, 4.0);
    EXPECT_EQ(SoundTools::secondsToFrames(1.5, 44100), 66150);
    EXPECT_EQ(SoundTools::secondsToFrames(0.99999, 1000), 1000); // rounded, not truncated
    EXPECT_DOUBLE_EQ(SoundTools::linearToDb(0.1), -20.0);
    EXPECT_EQ(SoundTools::linearToDb(0.0), -100.0);
}
