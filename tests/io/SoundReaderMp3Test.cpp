#include "TestUtil.h"
#include "SoundReaderMp3.h"

#include <fstream>

using namespace TestUtil;

namespace {

/// Fixtures are encoded by the lame command from a sox-made WAV.
class SoundReaderMp3Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TOOLS("lame", "sox", "mpg123");
        ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 16 '" + wav + "' synth 1.5 sine 440 sine 1000 gain -6"),
                  0);
    }

    std::string encode(const std::string& name, const std::string& options)
    {
        const std::string path = tmp.path(name);
        EXPECT_EQ(TestUtil::run("lame --quiet " + options + " '" + wav + "' '" + path + "'"), 0);
        return path;
    }

    TempDir tmp;
    const std::string wav = tmp.path("in.wav");
};

std::vector<std::string> messages;
void collect(QtMsgType, const QMessageLogContext&, const QString& text)
{
    messages.push_back(text.toStdString());
}

} // namespace

// Samples as the mpg123 command decodes them, mono as two equal channels, with the exact gapless length.
TEST_F(SoundReaderMp3Test, DecodesLikeMpg123InStereo)
{
    for (const char* mode : {"-m j", "-m m"}) {
        SCOPED_TRACE(mode);
        const std::string path = encode(std::string("d") + mode[3] + ".mp3", std::string("-b 128 ") + mode);
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk) << reader.getError();
        EXPECT_EQ(reader.getSampleRate(), 44100u);
        EXPECT_EQ(reader.getFrameNB(), 66150u);
        EXPECT_EQ(reader.getInputFormat(), SoundTools::PCM16);
        reader.rewind();
        const std::vector<double> got = TestUtil::readAll(reader, 1000);
        const std::vector<double> expected = TestUtil::mpg123Decode(path);
        ASSERT_EQ(got.size(), 2 * size_t(66150));
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_NEAR(got[i], expected[i], 1.0 / 32768) << "sample " << i;
            if (mode[3] == 'm' && i % 2 == 1)
                ASSERT_EQ(got[i - 1], got[i]);
        }
    }
}

// A start point inside the file skips exactly that many frames; one beyond the end reports itself.
TEST_F(SoundReaderMp3Test, StartPoints)
{
    const std::string path = encode("s.mp3", "-b 128");
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk);
    reader.rewind();
    const std::vector<double> all = TestUtil::readAll(reader);
    reader.setStartPoint(1.0);
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), 44100);
    const std::vector<double> tail = TestUtil::readAll(reader);
    ASSERT_EQ(tail.size(), all.size() - 2 * 44100);
    for (size_t i = 0; i < tail.size(); i += 97)
        ASSERT_NEAR(tail[i], all[i + 2 * 44100], 1.0 / 32768);

    messages.clear();
    QtMessageHandler previous = qInstallMessageHandler(collect);
    reader.setStartPoint(10.0);
    reader.rewind();
    const size_t after = TestUtil::readAll(reader).size();
    qInstallMessageHandler(previous);
    EXPECT_EQ(after, 0u);
    EXPECT_EQ(reader.getOffset(), 66150);
    ASSERT_FALSE(messages.empty());
    EXPECT_NE(messages[0].find("rewind too wide"), std::string::npos) << messages[0];
}

// The ID3v1 genre byte against the lame command's own list; ours keeps the classic spellings listed here.
TEST_F(SoundReaderMp3Test, GenreTableMatchesLameList)
{
    std::string listing;
    TestUtil::run("lame --genre-list 2>&1", &listing);
    std::map<int, std::string> lameNames;
    std::istringstream lines(listing);
    int number;
    std::string name;
    while (lines >> number && std::getline(lines >> std::ws, name))
        lameNames[number] = name;
    ASSERT_EQ(lameNames.size(), 148u);
    const std::map<int, std::string> ours = {{40, "AlternRock"}, {64, "Native American"}, {67, "Psychadelic"}, {123, "A capella"}, {136, "Christian Gangsta Rap"}, {146, "Jpop"}, {147, "Synthpop"}};

    // One file whose genre byte (the last byte of the ID3v1 tag) is rewritten.
    const std::string path = encode("genre.mp3", "-b 64 --id3v1-only --tt x --tg Blues");
    QFile file(QString::fromStdString(path));
    for (int genre : {0, 13, 79, 80, 147, 148, 255, 1, 40, 64, 67, 85, 90, 100, 123, 132, 136, 146}) {
        SCOPED_TRACE("genre byte " + std::to_string(genre));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(file.size() - 1);
        file.putChar(static_cast<char>(genre));
        file.close();
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path.c_str()), SoundTools::StatusOk);
        SoundIDTag tag;
        ASSERT_TRUE(reader.getTags(tag));
        EXPECT_EQ(tag.genre, genre > 147 ? "Unknown" : (ours.count(genre) ? ours.at(genre) : lameNames[genre]));
    }
    for (int genre = 0; genre < SoundReaderMp3::sGenreCount; ++genre)
        if (!ours.count(genre))
            EXPECT_EQ(SoundReaderMp3::getGenreName(genre), lameNames[genre]) << genre;
}

TEST_F(SoundReaderMp3Test, OpenFailuresNameTheFile)
{
    const std::string text = tmp.path("notes.mp3");
    std::ofstream(text) << "not an mp3 stream at all\n";
    const std::string cut = encode("cut.mp3", "-b 64");
    QFile::resize(QString::fromStdString(cut), 8);
    for (const std::string& path : {tmp.path("missing.mp3"), tmp.dir.path().toStdString(), text, cut}) {
        SCOPED_TRACE(path);
        SoundReaderMp3 reader;
        EXPECT_EQ(reader.open(path.c_str()), SoundTools::StatusError);
        EXPECT_TRUE(TestUtil::namesFile(reader.getError(), path)) << reader.getError();
        SoundIDTag tag;
        EXPECT_FALSE(reader.getTags(tag));
        EXPECT_EQ(TestUtil::readAll(reader).size(), 0u);
    }
}
