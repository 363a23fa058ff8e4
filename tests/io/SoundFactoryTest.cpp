#include "IoTestSupport.h"
#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <gtest/gtest.h>

#include <QFileInfo>

// The extension after the last point of the whole path, in any case.
TEST(SoundReaderFactory, ChoosesByExtension)
{
    for (const char* name : {"a.mp3", "B.MP3", "dir.wav/c.Mp3"}) {
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(name));
        EXPECT_NE(dynamic_cast<SoundReaderMp3*>(reader.get()), nullptr) << name;
    }
    for (const char* name : {"a.wav", "b.WAV", "c.Flac", "d.OGG", "archive.tar.wav", "/x.y/z.ogg"}) {
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(name));
        EXPECT_NE(dynamic_cast<SoundReaderSndfile*>(reader.get()), nullptr) << name;
    }
    for (const char* name : {"dir.wav/noext", "noext", "a.aiff", "a.mp3 ", "a.wave", ".", ""})
        EXPECT_EQ(SoundReader::getFromFilename(name), nullptr) << name;
    EXPECT_EQ(SoundReader::getFromFilename(nullptr), nullptr);
}

// The writer factory gives a stereo writer for any name with a point; the
// container it writes is checked on the file itself.
TEST(SoundWriterFactory, ChoosesByExtensionAndFallsBackToRaw)
{
    IoTest::TempDir tmp;
    const std::vector<double> frames = TestUtil::makeTestSignal(1000, 44100);
    struct Case {
        const char* name;
        const char* soxType; // soxi -t; "" for a headerless file
    };
    for (const Case& c : {Case{"a.WAV", "wav"}, Case{"b.Flac", "flac"}, Case{"c.ogg", "vorbis"},
                          Case{"d.pcm", ""}, Case{"e.txt", ""}}) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp.path(c.name);
        std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(path.c_str(), 44100, 192, SoundTools::PCM24));
        ASSERT_NE(dynamic_cast<SoundWriterSndfile*>(writer.get()), nullptr);
        EXPECT_EQ(writer->getChannelNum(), 2u);
        ASSERT_EQ(writer->open(path.c_str()), SoundTools::StatusOk);
        ASSERT_FALSE(IoTest::writeBlock(*writer, frames));
        writer->close();
        if (*c.soxType == '\0') {
            EXPECT_EQ(QFileInfo(QString::fromStdString(path)).size(), qint64(frames.size() * sizeof(float)));
        } else if (TestUtil::haveTool("soxi")) {
            std::string type;
            TestUtil::run("soxi -t '" + path + "' 2>/dev/null", &type);
            EXPECT_EQ(type.substr(0, type.find('\n')), c.soxType);
        }
    }
    std::unique_ptr<SoundWriter> mp3(SoundWriter::getFromFilename("x.MP3", 48000, 128, SoundTools::PCM16));
    ASSERT_NE(dynamic_cast<SoundWriterMp3*>(mp3.get()), nullptr);
    EXPECT_EQ(mp3->getSampleRate(), 48000u);
    if (SoundWriterMp3::IsInit())
        EXPECT_EQ(mp3->getChannelNum(), 2u);
    EXPECT_EQ(SoundWriter::getFromFilename("noext", 44100, 192, SoundTools::PCM16), nullptr);
    EXPECT_EQ(SoundWriter::getFromFilename(nullptr, 44100, 192, SoundTools::PCM16), nullptr);
}
