#include "IoTestSupport.h"
#include "SoundReaderMp3.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <fstream>

using IoTest::TempDir;

namespace {

const unsigned kRate = 44100;

class SoundWriterMp3Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!SoundWriterMp3::Init())
            GTEST_SKIP() << "libmp3lame not installed";
        if (!TestUtil::haveTool("mpg123"))
            GTEST_SKIP() << "mpg123 not installed";
    }
    TempDir tmp;
};

} // namespace

// The decoded file follows the input at 0.95 of the level that the lame
// command gives the same input, whatever delay the codec adds.
TEST_F(SoundWriterMp3Test, DecodesToTheInputAtLevel095)
{
    if (!TestUtil::haveTool("lame"))
        GTEST_SKIP() << "lame not installed";
    const std::vector<double> in = TestUtil::makeTestSignal(22050, kRate, 0.5);
    const std::string wav = tmp.path("sine.wav");
    {
        SoundWriterSndfile source(kRate, 2, SoundTools::PCM16);
        ASSERT_EQ(source.open(wav.c_str()), SoundTools::StatusOk);
        ASSERT_FALSE(IoTest::writeBlock(source, in));
    }
    const std::string reference = tmp.path("reference.mp3");
    ASSERT_EQ(TestUtil::run("lame --quiet -b 192 '" + wav + "' '" + reference + "'"), 0);
    int lag = 0;
    double referenceGain = 0;
    EXPECT_GT(IoTest::bestCorrelation(in, IoTest::mpg123Decode(reference), 3000, &lag, &referenceGain), 0.999);

    const std::string path = tmp.path("sine.mp3");
    SoundWriterMp3 writer(kRate, 2, 192);
    ASSERT_EQ(writer.open(path.c_str()), SoundTools::StatusOk) << writer.getError();
    ASSERT_FALSE(IoTest::writeBlock(writer, in));
    writer.close();
    ASSERT_FALSE(writer.closeFailed());
    for (bool useFfmpeg : {false, true}) {
        SCOPED_TRACE(useFfmpeg ? "ffmpeg" : "mpg123");
        std::vector<double> out;
        if (useFfmpeg) {
            if (!TestUtil::haveTool("ffmpeg"))
                continue;
            std::string raw;
            TestUtil::run("ffmpeg -v error -i '" + path + "' -f f64le -acodec pcm_f64le -", &raw);
            out.resize(raw.size() / sizeof(double));
            std::memcpy(out.data(), raw.data(), out.size() * sizeof(double));
        } else {
            out = IoTest::mpg123Decode(path);
        }
        double gain = 0;
        EXPECT_GT(IoTest::bestCorrelation(in, out, 3000, &lag, &gain), 0.999);
        // 0.005 is about 0.05 dB, well below what a codec setting would change.
        EXPECT_NEAR(gain / referenceGain, 0.95, 0.005);
    }
}

// Short writes need the encoder's full worst-case output room, and the final
// flush at least 7200 bytes: the decoded file has exactly the frames given.
TEST_F(SoundWriterMp3Test, ShortWritesDecodeToTheirLength)
{
    for (unsigned frames : {100u, 150u, 550u}) {
        SCOPED_TRACE(frames);
        const std::string path = tmp.path("short" + std::to_string(frames) + ".mp3");
        SoundWriterMp3 writer(kRate, 2, 192);
        ASSERT_EQ(writer.open(path.c_str()), SoundTools::StatusOk);
        // Three blocks of that size, as a segment writer feeding small chunks.
        for (int block = 0; block < 3; ++block)
            ASSERT_FALSE(IoTest::writeBlock(writer, TestUtil::makeTestSignal(frames, kRate), 2,
                                            block * static_cast<int>(frames)))
                << writer.getError();
        writer.close();
        ASSERT_FALSE(writer.closeFailed()) << writer.getError();
        EXPECT_EQ(IoTest::mpg123Decode(path).size(), 2 * 3 * size_t(frames));
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk);
        EXPECT_EQ(reader.getFrameNB(), 3 * frames);
    }
}

// Tags given before or after open reach both tag versions; texts outside
// ASCII survive as ISO-8859-1.
TEST_F(SoundWriterMp3Test, TagsReachTheFile)
{
    const std::string title = QString::fromUtf8("Chanson d'été").toLocal8Bit().toStdString();
    const SoundIDTag tag{title, "Artist", "Album", "2014", "A comment", "3", "Rock"};
    for (bool afterOpen : {false, true}) {
        SCOPED_TRACE(afterOpen ? "after open" : "before open");
        const std::string path = tmp.path(afterOpen ? "after.mp3" : "before.mp3");
        SoundWriterMp3 writer(kRate);
        if (!afterOpen)
            writer.setTags(tag);
        ASSERT_EQ(writer.open(path.c_str()), SoundTools::StatusOk);
        if (afterOpen)
            writer.setTags(tag);
        ASSERT_FALSE(IoTest::writeBlock(writer, TestUtil::makeTestSignal(4410, kRate)));
        writer.close();
        if (TestUtil::haveTool("ffprobe")) {
            std::string probe;
            TestUtil::run("ffprobe -v error -show_entries format_tags -of default=nw=1 '" + path + "'", &probe);
            for (const char* expected : {"Chanson d'été", "Artist", "Album", "2014", "A comment", "track=3", "Rock"})
                EXPECT_NE(probe.find(expected), std::string::npos) << expected << " in " << probe;
        }
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk);
        SoundIDTag back;
        ASSERT_TRUE(reader.getTags(back));
        EXPECT_EQ(back.title, tag.title);
        EXPECT_EQ(back.track, "3");
        EXPECT_EQ(back.genre, "Rock");
    }
}

// Out-of-range and NaN samples must neither wrap nor poison the stream.
TEST_F(SoundWriterMp3Test, OversClipAndNaNBecomesSilence)
{
    const std::string path = tmp.path("overs.mp3");
    std::vector<double> in = TestUtil::makeTestSignal(11025, kRate, 4.0);
    for (size_t i = 2 * 4000; i < 2 * 9000; ++i)
        in[i] = std::nan("");
    SoundWriterMp3 writer(kRate);
    ASSERT_EQ(writer.open(path.c_str()), SoundTools::StatusOk);
    ASSERT_FALSE(IoTest::writeBlock(writer, in));
    writer.close();
    const std::vector<double> out = IoTest::mpg123Decode(path);
    ASSERT_EQ(out.size(), in.size());
    double peak = 0, nanStretch = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        peak = std::max(peak, std::fabs(out[i]));
        if (i >= 2 * 6000 && i < 2 * 7000)
            nanStretch = std::max(nanStretch, std::fabs(out[i]));
    }
    // A clipped square-ish wave decodes with some overshoot, a wrapped one
    // would be noise at full scale throughout; the NaN stretch is quiet.
    EXPECT_GT(peak, 0.9);
    EXPECT_LT(nanStretch, 0.01);
}

TEST_F(SoundWriterMp3Test, FailuresNameTheFile)
{
    const std::string missing = tmp.path("no/folder.mp3");
    SoundWriterMp3 noFolder(kRate);
    EXPECT_EQ(noFolder.open(missing.c_str()), SoundTools::StatusError);
    EXPECT_EQ(std::string(noFolder.getError()), missing + " : No such file or directory");

    SoundWriterMp3 full(kRate);
    ASSERT_EQ(full.open("/dev/full"), SoundTools::StatusOk);
    EXPECT_TRUE(IoTest::writeBlock(full, TestUtil::makeTestSignal(1000, kRate)));
    EXPECT_EQ(std::string(full.getError()).rfind("/dev/full : ", 0), 0u) << full.getError();

    // Nothing written: nothing to flush, an empty file.
    const std::string empty = tmp.path("empty.mp3");
    {
        SoundWriterMp3 writer(kRate);
        ASSERT_EQ(writer.open(empty.c_str()), SoundTools::StatusOk);
    }
    EXPECT_EQ(QFileInfo(QString::fromStdString(empty)).size(), 0);

    // A mono writer takes mono blocks and refuses the graph's stereo ones.
    SoundWriterMp3 mono(kRate, 1, 96);
    EXPECT_EQ(mono.getChannelNum(), 1u);
    ASSERT_EQ(mono.open(tmp.path("mono.mp3").c_str()), SoundTools::StatusOk);
    EXPECT_TRUE(IoTest::writeBlock(mono, TestUtil::makeTestSignal(1000, kRate)));
    EXPECT_STREQ(mono.getError(), "SoundWriter::WriteBuffer : Incorrect number of channels");
    EXPECT_FALSE(IoTest::writeBlock(mono, std::vector<double>(1000, 0.25), 1));
}

// Without the encoder library. The library looks for it once per process,
// so this runs the test program again in a child process whose dynamic
// loader refuses every encoder name (an LD_PRELOAD shim over dlopen): the
// real lookup code runs and fails, as on a machine without LAME.
TEST(SoundWriterMp3NoEncoder, OpenFailsWithItsMessage)
{
    if (std::getenv("TEVO_TEST_HIDDEN_ENCODER") != nullptr) {
        EXPECT_FALSE(SoundWriterMp3::IsInit());
        EXPECT_FALSE(SoundWriterMp3::Init());
        SoundWriterMp3 writer(kRate);
        EXPECT_EQ(writer.getChannelNum(), 0u);
        TempDir tmp;
        EXPECT_EQ(writer.open(tmp.path("x.mp3").c_str()), SoundTools::StatusError);
        EXPECT_STREQ(writer.getError(), "This version doesn't support mp3 encoding");
        return;
    }
    if (!TestUtil::haveTool("cc"))
        GTEST_SKIP() << "a C compiler is needed to build the loader shim";
    TempDir tmp;
    const std::string source = tmp.path("hide.c");
    std::ofstream(source) << "#define _GNU_SOURCE\n#include <dlfcn.h>\n#include <string.h>\n"
                             "void* dlopen(const char* name, int flags) {\n"
                             "  static void* (*real)(const char*, int);\n"
                             "  if (!real) real = (void* (*)(const char*, int))dlsym(RTLD_NEXT, \"dlopen\");\n"
                             "  if (name && (strstr(name, \"mp3lame\") || strstr(name, \"lame_enc\"))) return 0;\n"
                             "  return real(name, flags);\n}\n";
    const std::string shim = tmp.path("hide.so");
    ASSERT_EQ(TestUtil::run("cc -shared -fPIC -o '" + shim + "' '" + source + "' -ldl 2>&1"), 0);
    const std::string self = QFileInfo("/proc/self/exe").canonicalFilePath().toStdString();
    std::string output;
    // A sanitizer build wants its runtime first in the load order; the shim
    // only has to come before the C library.
    const int status = TestUtil::run("TEVO_TEST_HIDDEN_ENCODER=1 ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD='"
                                         + shim + "' '" + self
                                         + "' --gtest_filter=SoundWriterMp3NoEncoder.* 2>&1",
                                     &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}
