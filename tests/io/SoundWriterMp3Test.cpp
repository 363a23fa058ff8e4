#include "TestUtil.h"
#include "SoundReaderMp3.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <QFileInfo>

#include <cstdlib>
#include <fstream>

using namespace TestUtil;

namespace {

const unsigned kRate = 44100;

class SoundWriterMp3Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!SoundWriterMp3::Init() || !TestUtil::haveTool("mpg123"))
            GTEST_SKIP() << "libmp3lame and mpg123 are needed";
    }
    TempDir tmp;
};

} // namespace

// Decoded by mpg123 and ffmpeg, the file follows the input at 0.95 of the level the lame command gives.
TEST_F(SoundWriterMp3Test, DecodesToTheInputAtLevel095)
{
    REQUIRE_TOOLS("lame");
    const std::vector<double> in = TestUtil::makeTestSignal(22050, kRate, 0.5);
    const std::string wav = tmp.path("sine.wav"), reference = tmp.path("reference.mp3"), path = tmp.path("sine.mp3");
    SoundWriterSndfile source(kRate, 2, SoundTools::PCM16);
    ASSERT_TRUE(TestUtil::writeFile(source, wav, in));
    ASSERT_EQ(TestUtil::run("lame --quiet -b 192 '" + wav + "' '" + reference + "'"), 0);
    double referenceGain = 0, gain = 0;
    EXPECT_GT(TestUtil::bestCorrelation(in, TestUtil::mpg123Decode(reference), 3000, &referenceGain), 0.999);

    SoundWriterMp3 writer(kRate, 2, 192);
    ASSERT_TRUE(TestUtil::writeFile(writer, path, in)) << writer.getError();
    ASSERT_FALSE(writer.closeFailed());
    std::vector<std::vector<double>> decoded = {TestUtil::mpg123Decode(path)};
    if (TestUtil::haveTool("ffmpeg"))
        decoded.push_back(TestUtil::commandSamples("ffmpeg -v error -i '" + path + "' -f f64le -acodec pcm_f64le -"));
    for (size_t d = 0; d < decoded.size(); ++d) {
        SCOPED_TRACE(d == 0 ? "mpg123" : "ffmpeg");
        EXPECT_GT(TestUtil::bestCorrelation(in, decoded[d], 3000, &gain), 0.999);
        EXPECT_NEAR(gain / referenceGain, 0.95, 0.005); // about 0.05 dB, below what a codec setting changes
    }
}

// Short writes need the worst-case output room and a flush of 7200 bytes or more: exact decoded length.
TEST_F(SoundWriterMp3Test, ShortWritesDecodeToTheirLength)
{
    for (unsigned frames : {100u, 150u, 550u}) {
        SCOPED_TRACE(frames);
        const std::string path = tmp.path("short" + std::to_string(frames) + ".mp3");
        SoundWriterMp3 writer(kRate, 2, 192);
        ASSERT_EQ(writer.open(path.c_str()), SoundTools::StatusOk);
        for (int block = 0; block < 3; ++block)
            ASSERT_FALSE(TestUtil::writeBlock(writer, TestUtil::makeTestSignal(frames, kRate), 2, block * int(frames)))
                << writer.getError();
        writer.close();
        ASSERT_FALSE(writer.closeFailed()) << writer.getError();
        EXPECT_EQ(TestUtil::mpg123Decode(path).size(), 2 * 3 * size_t(frames));
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk);
        EXPECT_EQ(reader.getFrameNB(), 3 * frames);
    }
}

// Overs clip (with some overshoot) rather than wrap into full-scale noise; NaN samples become silence.
TEST_F(SoundWriterMp3Test, OversClipAndNaNBecomesSilence)
{
    const std::string path = tmp.path("overs.mp3");
    std::vector<double> in = TestUtil::makeTestSignal(11025, kRate, 4.0);
    std::fill(in.begin() + 2 * 4000, in.begin() + 2 * 9000, std::nan(""));
    SoundWriterMp3 writer(kRate);
    ASSERT_TRUE(TestUtil::writeFile(writer, path, in));
    const std::vector<double> out = TestUtil::mpg123Decode(path);
    ASSERT_EQ(out.size(), in.size());
    double peak = 0, nanStretch = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        peak = std::max(peak, std::fabs(out[i]));
        if (i >= 2 * 6000 && i < 2 * 7000)
            nanStretch = std::max(nanStretch, std::fabs(out[i]));
    }
    EXPECT_GT(peak, 0.9);
    EXPECT_LT(nanStretch, 0.01);
}

TEST_F(SoundWriterMp3Test, FailuresNameTheFile)
{
    const std::string missing = tmp.path("no/folder.mp3");
    SoundWriterMp3 noFolder(kRate);
    EXPECT_EQ(noFolder.open(missing.c_str()), SoundTools::StatusError);
    EXPECT_EQ(std::string(noFolder.getError()), missing + " : No such file or directory");
    SoundWriterMp3 tooFast(kRate, 2, 192, 10); // the encoder itself would take 9 without a word
    EXPECT_EQ(tooFast.open(tmp.path("q10.mp3").c_str()), SoundTools::StatusError);
    EXPECT_TRUE(TestUtil::namesFile(tooFast.getError(), tmp.path("q10.mp3"))) << tooFast.getError();

    SoundWriterMp3 full(kRate);
    ASSERT_EQ(full.open("/dev/full"), SoundTools::StatusOk);
    EXPECT_TRUE(TestUtil::writeBlock(full, TestUtil::makeTestSignal(1000, kRate)));
    EXPECT_TRUE(TestUtil::namesFile(full.getError(), "/dev/full")) << full.getError();

    // Nothing written: nothing to flush, an empty file.
    const std::string empty = tmp.path("empty.mp3");
    ASSERT_EQ(SoundWriterMp3(kRate).open(empty.c_str()), SoundTools::StatusOk);
    EXPECT_EQ(QFileInfo(QString::fromStdString(empty)).size(), 0);

    // A mono writer takes mono blocks and refuses the graph's stereo ones.
    SoundWriterMp3 mono(kRate, 1, 96);
    ASSERT_EQ(mono.open(tmp.path("mono.mp3").c_str()), SoundTools::StatusOk);
    EXPECT_TRUE(TestUtil::writeBlock(mono, TestUtil::makeTestSignal(1000, kRate)));
    EXPECT_STREQ(mono.getError(), "SoundWriter::WriteBuffer : Incorrect number of channels");
    EXPECT_FALSE(TestUtil::writeBlock(mono, std::vector<double>(1000, 0.25), 1));
}

// Without LAME: a child run of this program whose dlopen (LD_PRELOAD shim) refuses every encoder name.
TEST(SoundWriterMp3NoEncoder, OpenFailsWithItsMessage)
{
    TempDir tmp;
    if (std::getenv("TEVO_TEST_HIDDEN_ENCODER") != nullptr) {
        EXPECT_FALSE(SoundWriterMp3::IsInit());
        EXPECT_FALSE(SoundWriterMp3::Init());
        SoundWriterMp3 writer(kRate);
        EXPECT_EQ(writer.getChannelNum(), 0u);
        EXPECT_EQ(writer.open(tmp.path("x.mp3").c_str()), SoundTools::StatusError);
        EXPECT_STREQ(writer.getError(), "This version doesn't support mp3 encoding");
        return;
    }
    REQUIRE_TOOLS("cc");
    const std::string source = tmp.path("hide.c"), shim = tmp.path("hide.so");
    std::ofstream(source) << "#define _GNU_SOURCE\n#include <dlfcn.h>\n#include <string.h>\n"
                             "void* dlopen(const char* name, int flags) {\n"
                             "  static void* (*real)(const char*, int);\n"
                             "  if (!real) real = (void* (*)(const char*, int))dlsym(RTLD_NEXT, \"dlopen\");\n"
                             "  if (name && (strstr(name, \"mp3lame\") || strstr(name, \"lame_enc\"))) return 0;\n"
                             "  return real(name, flags);\n}\n";
    ASSERT_EQ(TestUtil::run("cc -shared -fPIC -o '" + shim + "' '" + source + "' -ldl 2>&1"), 0);
    const std::string self = QFileInfo("/proc/self/exe").canonicalFilePath().toStdString();
    std::string output;
    // A sanitizer build wants its runtime first in the load order; the shim only has to precede libc.
    const int status = TestUtil::run("TEVO_TEST_HIDDEN_ENCODER=1 ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD='"
                                         + shim + "' '" + self + "' --gtest_filter=SoundWriterMp3NoEncoder.* 2>&1",
                                     &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}
