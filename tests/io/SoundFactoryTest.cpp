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
    // 'm' for the MP3 reader, 's' for the sndfile one, '-' for none.
    auto kind = [](const char* name) {
        std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(name));
        return dynamic_cast<SoundReaderMp3*>(r.get())       ? 'm'
               : dynamic_cast<SoundReaderSndfile*>(r.get()) ? 's'
                                                            : r ? '?' : '-';
    };
    for (const char* name : {"a.mp3", "B.MP3", "dir.wav/c.Mp3"})
        EXPECT_EQ(kind(name), 'm') << name;
    for (const char* name : {"a.wav", "b.WAV", "c.Flac", "d.OGG", "archive.tar.wav", "/x.y/z.ogg"})
        EXPECT_EQ(kind(name), 's') << name;
    for (const char* name : {"dir.wav/noext", "noext", "a.aiff", "a.mp3 ", "a.wave", ".", ""})
        EXPECT_EQ(kind(name), '-') << name;
    EXPECT_EQ(kind(nullptr), '-');
}

// Any name with a point gives a stereo writer; the container is checked on the file itself.
TEST(SoundWriterFactory, ChoosesByExtensionAndFallsBackToRaw)
{
    IoTest::TempDir tmp;
    const std::vector<double> frames = TestUtil::makeTestSignal(1000, 44100);
    // soxi -t of the file; "" for a headerless one.
    for (auto [name, soxType] : {std::pair{"a.WAV", "wav"}, {"b.Flac", "flac"}, {"c.ogg", "vorbis"}, {"d.pcm", ""},
                                 {"e.txt", ""}}) {
        SCOPED_TRACE(name);
        const std::string path = tmp.path(name);
        std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(path.c_str(), 44100, 192, SoundTools::PCM24));
        ASSERT_NE(dynamic_cast<SoundWriterSndfile*>(writer.get()), nullptr);
        EXPECT_EQ(writer->getChannelNum(), 2u);
        ASSERT_TRUE(IoTest::writeFile(*writer, path, frames));
        if (*soxType == '\0')
            EXPECT_EQ(QFileInfo(QString::fromStdString(path)).size(), qint64(frames.size() * sizeof(float)));
        else if (TestUtil::haveTool("soxi"))
            EXPECT_EQ(IoTest::firstLine("soxi -t '" + path + "'"), soxType);
    }
    std::unique_ptr<SoundWriter> mp3(SoundWriter::getFromFilename("x.MP3", 48000, 128, SoundTools::PCM16));
    ASSERT_NE(dynamic_cast<SoundWriterMp3*>(mp3.get()), nullptr);
    if (SoundWriterMp3::IsInit())
        EXPECT_EQ(mp3->getChannelNum(), 2u);
    EXPECT_EQ(SoundWriter::getFromFilename("noext", 44100, 192, SoundTools::PCM16), nullptr);
    EXPECT_EQ(SoundWriter::getFromFilename(nullptr, 44100, 192, SoundTools::PCM16), nullptr);
}
