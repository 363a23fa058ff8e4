#include "TestUtil.h"
#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <QFileInfo>

using namespace TestUtil;

namespace {

/// 'm' for the MP3 reader, 's' for the libsndfile one, '-' for none.
char readerKind(const char* name)
{
    std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(name));
    return dynamic_cast<SoundReaderMp3*>(r.get()) ? 'm' : dynamic_cast<SoundReaderSndfile*>(r.get()) ? 's'
        : r                                                                                          ? '?'
                                                                                                     : '-';
}

} // namespace

// Names of files that do not exist: the extension of the file name decides,
// in any case; folders never count.
TEST(SoundReaderFactory, ChoosesByTheNameWhenTheContentSaysNothing)
{
    const char* const mp3[] = {"a.mp3", "B.MP3", "dir.wav/c.Mp3"};
    const char* const sndfile[] = {"a.wav", "b.WAV", "c.Flac", "d.OGG", "e.wave", "f.oga", "g.opus", "h.aif",
                                   "i.AIFF", "archive.tar.wav", "/x.y/z.ogg", "j.raw"};
    const char* const none[] = {"dir.wav/noext", "noext", "a.mp3 ", "a.pcm", "x.aiff.bak", ".wav", ".", ""};
    for (const char* name : mp3)
        EXPECT_EQ(readerKind(name), 'm') << name;
    for (const char* name : sndfile)
        EXPECT_EQ(readerKind(name), 's') << name;
    for (const char* name : none)
        EXPECT_EQ(readerKind(name), '-') << name;
    EXPECT_EQ(readerKind(nullptr), '-');
}

// Files whose names lie: the first bytes choose the reader, and the file
// then reads like its sox decoding.
TEST(SoundReaderFactory, RecognisesTheContentWhateverTheName)
{
    REQUIRE_TOOLS("sox", "lame");
    TestUtil::TempDir tmp;
    const std::string wav = tmp.path("src.wav");
    ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 16 '" + wav + "' synth 0.5 sine 440 sine 660 gain -6"), 0);
    const std::string flac = tmp.path("src.flac");
    ASSERT_EQ(TestUtil::run("sox -V1 '" + wav + "' '" + flac + "'"), 0);
    const std::string mp3 = tmp.path("src.mp3");
    const std::string mp3v2 = tmp.path("v2.mp3");
    ASSERT_EQ(TestUtil::run("lame --quiet '" + wav + "' '" + mp3 + "'"), 0);
    ASSERT_EQ(TestUtil::run("lame --quiet --id3v2-only --tt T '" + wav + "' '" + mp3v2 + "'"), 0);
    struct Case {
        std::string source;
        const char* lie;
        char kind;
    };
    for (const Case& c : {Case{wav, "wav-as.mp3", 's'}, Case{wav, "noext", 's'}, Case{flac, "flac-as.ogg", 's'},
                          Case{mp3, "mp3-as.wav", 'm'}, Case{mp3v2, "id3-noext", 'm'}}) {
        SCOPED_TRACE(c.lie);
        const std::string lie = tmp.path(c.lie);
        ASSERT_TRUE(QFile::copy(QString::fromStdString(c.source), QString::fromStdString(lie)));
        ASSERT_EQ(readerKind(lie.c_str()), c.kind);
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(lie.c_str()));
        ASSERT_EQ(reader->open(lie.c_str()), SoundTools::StatusOk) << reader->getError();
        reader->rewind();
        const std::vector<double> got = TestUtil::readAll(*reader);
        if (c.kind == 's')
            EXPECT_EQ(got, TestUtil::soxReadStereo(c.source));
        else
            EXPECT_NEAR(double(got.size()) / 2, 22050, 1200) << "the MP3 decodes to its length";
    }
}

// Only the listed extensions give a writer; the container is checked on the file itself.
TEST(SoundWriterFactory, ChoosesByExtensionAndRefusesTheRest)
{
    TestUtil::TempDir tmp;
    const std::vector<double> frames = TestUtil::makeTestSignal(1000, 48000);
    // soxi -t of the file; "" for a headerless one.
    for (auto [name, soxType] : {std::pair{"a.WAV", "wav"}, {"a2.wave", "wav"}, {"b.Flac", "flac"}, {"c.ogg", "vorbis"}, {"c2.oga", "vorbis"}, {"o.opus", "opus"}, {"f.aif", "aiff"}, {"f2.AIFF", "aiff"}, {"d.raw", ""}}) {
        SCOPED_TRACE(name);
        const std::string path = tmp.path(name);
        std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(path.c_str(), 48000, 192, SoundTools::PCM24));
        ASSERT_NE(dynamic_cast<SoundWriterSndfile*>(writer.get()), nullptr);
        EXPECT_EQ(writer->getChannelNum(), 2u);
        ASSERT_EQ(writer->open(path.c_str()), SoundTools::StatusOk) << writer->getError();
        EXPECT_FALSE(TestUtil::writeBlock(*writer, frames, 2, 0, 48000)) << writer->getError();
        writer->close();
        if (*soxType == '\0')
            EXPECT_EQ(QFileInfo(QString::fromStdString(path)).size(), qint64(frames.size() * sizeof(float)));
        else if (std::string(soxType) == "opus") // sox has no Opus handler
            EXPECT_EQ(TestUtil::firstLine("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path + "'"),
                      soxType);
        else if (TestUtil::haveTool("soxi"))
            EXPECT_EQ(TestUtil::firstLine("soxi -t '" + path + "'"), soxType);
    }
    std::unique_ptr<SoundWriter> mp3(SoundWriter::getFromFilename("x.MP3", 48000, 128, SoundTools::PCM16));
    ASSERT_NE(dynamic_cast<SoundWriterMp3*>(mp3.get()), nullptr);
    if (SoundWriterMp3::IsInit())
        EXPECT_EQ(mp3->getChannelNum(), 2u);
    for (const char* name : {"noext", "out.pcm", "x.aiff.bak", "../o.d/noext", "a.txt", ".wav"})
        EXPECT_EQ(SoundWriter::getFromFilename(name, 44100, 192, SoundTools::PCM16), nullptr) << name;
    EXPECT_EQ(SoundWriter::getFromFilename(nullptr, 44100, 192, SoundTools::PCM16), nullptr);
}

// Rounding to the file's integers: exact without dither, clip count, TPDF
// dither within one step and unbiased, one-channel files as the mean of both.
TEST(SoundWriterSndfile, RoundsDithersCountsClipsAndMixesDown)
{
    REQUIRE_TOOLS("sox");
    TestUtil::TempDir tmp;
    const unsigned n = 20000;
    std::vector<double> in(2 * n);
    for (unsigned i = 0; i < n; ++i) {
        in[2 * i] = 0.3 * std::sin(0.01 * i) + 1e-6 * (i % 7); // not on the 16-bit grid
        in[2 * i + 1] = i < 100 ? 1.5 : -0.2;                  // 100 samples beyond full scale
    }
    for (bool dither : {false, true}) {
        SCOPED_TRACE(dither);
        const std::string path = tmp.path(dither ? "d.wav" : "p.wav");
        SoundWriterSndfile writer(44100, 2, SoundTools::PCM16, SoundWriterSndfile::WAV);
        EXPECT_EQ(writer.getFileBits(), 16u);
        writer.setDither(dither);
        ASSERT_TRUE(TestUtil::writeFile(writer, path, in));
        EXPECT_EQ(writer.getClippedSamples(), 100u);
        const std::vector<double> back = TestUtil::soxReadStereo(path);
        ASSERT_EQ(back.size(), in.size());
        double sumError = 0, maxError = 0;
        for (unsigned i = 100; i < n; ++i) {
            const double e = (back[2 * i] - in[2 * i]) * 32768;
            sumError += e;
            maxError = std::max(maxError, std::fabs(e));
        }
        EXPECT_LE(maxError, dither ? 1.5 : 0.5 + 1e-9);
        EXPECT_LT(std::fabs(sumError / (n - 100)), 0.05);
        EXPECT_EQ(back[1], 32767.0 / 32768);
    }
    const std::string mono = tmp.path("m.flac");
    SoundWriterSndfile writer(44100, 2, SoundTools::PCM24, SoundWriterSndfile::FLAC);
    ASSERT_TRUE(writer.setFileChannels(1));
    ASSERT_TRUE(TestUtil::writeFile(writer, mono, in));
    EXPECT_EQ(TestUtil::firstLine("soxi -c '" + mono + "'"), "1");
    const std::vector<double> back = TestUtil::soxReadStereo(mono);
    ASSERT_EQ(back.size(), in.size());
    EXPECT_NEAR(back[2 * 500], (in[2 * 500] + in[2 * 500 + 1]) / 2, 1.0 / (1 << 23));
}
