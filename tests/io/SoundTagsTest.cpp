// Tags through every reader and writer: written by tevo and read back by
// ffprobe and by tevo, written by lame, ffmpeg and sox and read by tevo.
#include "TestUtil.h"
#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>

using namespace TestUtil;

namespace {

const unsigned kRate = 44100;

/// The value ffprobe shows under the first of `keys` present.
std::string probed(const std::map<std::string, std::string>& tags, std::initializer_list<const char*> keys)
{
    for (const char* key : keys) {
        const auto it = tags.find(key);
        if (it != tags.end())
            return it->second;
    }
    return "(none)";
}

std::vector<std::string> probedFields(const std::string& path)
{
    const auto tags = TestUtil::probeTags(path);
    return {probed(tags, {"title"}), probed(tags, {"artist"}), probed(tags, {"album"}),
            probed(tags, {"date", "year", "tyer"}), probed(tags, {"comment"}), probed(tags, {"track", "itrk"}),
            probed(tags, {"genre"})};
}

/// Tags as tevo's reader for the file's content finds them (false: no tag or no reader).
bool readTags(const std::string& path, SoundIDTag& tag, bool mp3)
{
    std::unique_ptr<SoundReader> reader;
    if (mp3)
        reader.reset(new SoundReaderMp3());
    else
        reader.reset(new SoundReaderSndfile());
    return reader->open(path.c_str()) == SoundTools::StatusOk && reader->getTags(tag);
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// An ID3v2 tag of `version` (2, 3 or 4) holding `frames`: identifier and
/// body (encoding byte and text).
std::string id3v2(int version, const std::vector<std::pair<std::string, std::string>>& frames)
{
    auto bigEndian = [](uint32_t v, int bytes, bool syncsafe) {
        std::string out;
        for (int i = bytes - 1; i >= 0; --i)
            out += static_cast<char>(syncsafe ? (v >> (7 * i)) & 0x7F : (v >> (8 * i)) & 0xFF);
        return out;
    };
    std::string body;
    for (const auto& f : frames) {
        body += f.first;
        if (version == 2) {
            body += bigEndian(uint32_t(f.second.size()), 3, false);
        } else {
            body += bigEndian(uint32_t(f.second.size()), 4, version == 4);
            body += std::string(2, '\0');
        }
        body += f.second;
    }
    return std::string("ID3") + char(version) + std::string(2, '\0') + bigEndian(uint32_t(body.size()), 4, true) + body;
}

/// UTF-8 text as UTF-16 bytes, big-endian or little-endian with a byte order mark.
std::string utf16(const char* text, bool bigEndian)
{
    std::string out = bigEndian ? "" : "\xFF\xFE";
    for (const QChar c : QString::fromUtf8(text)) {
        const char hi = static_cast<char>(c.unicode() >> 8), lo = static_cast<char>(c.unicode() & 0xFF);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

class SoundTags : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TOOLS("ffprobe", "ffmpeg", "lame", "sox");
    }
    TempDir tmp;
};

const SoundIDTag kNone{"", "", "", "", "", "", ""};

} // namespace

// Each field in each script, written by tevo into each format, comes back the
// same from ffprobe and from tevo's own readers. ID3v1 holds the Latin-1 texts
// and leaves the others blank rather than mangled.
TEST_F(SoundTags, EveryFieldInEveryScriptRoundTrips)
{
    if (!SoundWriterMp3::Init())
        GTEST_SKIP() << "libmp3lame not installed";
    const std::pair<const char*, const char*> scripts[] = {{"latin1", "Chanson d'été"},
                                                           {"latin", "L’été – Œuvre"},
                                                           {"cyrillic", "Мотли Кафе"},
                                                           {"cjk", "東京の夜"},
                                                           {"emoji", "☕ 🎶"}};
    for (const char* format : {"wav", "flac", "ogg", "mp3"}) {
        for (const auto& script : scripts) {
            SCOPED_TRACE(std::string(format) + " " + script.first);
            const std::string s = script.second;
            const SoundIDTag tag{s + " title", s + " artist", s + " album", s + " 2014",
                                 s + " comment", "7", s + " genre"};
            const std::string path = tmp.path(std::string(script.first) + "." + format);
            std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(path.c_str(), kRate, 128, SoundTools::PCM16));
            ASSERT_TRUE(writer);
            ASSERT_EQ(writer->open(path.c_str()), SoundTools::StatusOk);
            writer->setTags(tag);
            ASSERT_FALSE(TestUtil::writeBlock(*writer, TestUtil::makeTestSignal(4410, kRate)));
            writer->close();

            SoundIDTag back;
            ASSERT_TRUE(readTags(path, back, std::string(format) == "mp3"));
            EXPECT_EQ(TestUtil::fields(back), TestUtil::fields(tag));
            EXPECT_EQ(probedFields(path), TestUtil::fields(tag));
            // The comment is not a software string, nor decorated with one.
            EXPECT_EQ(TestUtil::probeTags(path).count("software"), 0u);
            const std::string bytes = fileBytes(path);
            if (std::string(format) == "mp3") {
                ASSERT_GE(bytes.size(), 128u);
                const std::string v1 = bytes.substr(bytes.size() - 128);
                ASSERT_EQ(v1.substr(0, 3), "TAG");
                const std::string v1Title = v1.substr(3, 30).c_str();
                const bool fits = std::string(script.first) == "latin1";
                EXPECT_EQ(v1Title, fits ? QString::fromStdString(tag.title).toLatin1().toStdString() : "");
            }
        }
    }
}

// Tags written by other tools, in every ID3v2 version and text encoding and as
// Vorbis comments or RIFF INFO, read as they were meant; untagged files stay untagged.
TEST_F(SoundTags, FilesOfOtherToolsReadAsWritten)
{
    const std::string wav = tmp.path("in.wav");
    ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 16 '" + wav + "' synth 0.3 sine 440"), 0);
    const std::string lameTags = "--tt \"Titre d'été, longer than an ID3v1 field\" --ta Artiste --tl Album --ty 2014 --tc \"A comment\" --tn 7 --tg Pop";
    const std::string cyrillic = "--tt \"Мотли Кафе\" --ta \"東京\" --tl Album --ty 2014 --tc \"☕ x\" --tn 3 --tg Rock";
    const std::string plain = tmp.path("plain.mp3");
    ASSERT_EQ(TestUtil::run("lame --quiet -b 64 '" + wav + "' '" + plain + "'"), 0);
    const std::string ff = "ffmpeg -v error -y -i IN -metadata title='Мотли Кафе' -metadata artist='東京' "
                           "-metadata album='L’été' -metadata date=2014 -metadata comment='☕ x' "
                           "-metadata track=3 -metadata genre=Rock ";
    const std::string soxComments = "sox IN --comment 'Title=Мотли Кафе' --add-comment 'Artist=東京' --add-comment "
                                    "'Album=L’été' --add-comment 'Date=2014' --add-comment 'Comment=☕ x' --add-comment "
                                    "'Tracknumber=3' --add-comment 'Genre=Rock' OUT";
    const SoundIDTag latin{"Titre d'été, longer than an ID3v1 field", "Artiste", "Album", "2014", "A comment", "7", "Pop"};
    const SoundIDTag unicode{"Мотли Кафе", "東京", "Album", "2014", "☕ x", "3", "Rock"};
    const SoundIDTag ffTags{"Мотли Кафе", "東京", "L’été", "2014", "☕ x", "3", "Rock"};
    const struct {
        const char* name;
        std::string command; ///< makes the file; empty: crafted below
        SoundIDTag expected;
    } cases[] = {
        {"lame-v1v2.mp3", "lame --quiet -b 64 --add-id3v2 " + lameTags + " IN OUT", latin},
        {"lame-v2.mp3", "lame --quiet -b 64 --id3v2-only " + lameTags + " IN OUT", latin},
        // Version 1 alone: the title cut at 30 bytes, the track from ID3v1.1.
        {"lame-v1.mp3", "lame --quiet -b 64 --id3v1-only " + lameTags + " IN OUT", {"Titre d'été, longer than an ID", "Artiste", "Album", "2014", "A comment", "7", "Pop"}},
        {"lame-utf16.mp3", "lame --quiet -b 64 --id3v2-utf16 " + cyrillic + " IN OUT", unicode},
        {"ffmpeg-v24.mp3", ff + "OUT", ffTags},
        {"ffmpeg-v23.mp3", ff + "-id3v2_version 3 OUT", ffTags},
        {"ffmpeg.flac", ff + "OUT", ffTags},
        {"ffmpeg.ogg", ff + "-c:a libvorbis OUT", ffTags},
        {"ffmpeg.opus", ff + "-c:a libopus OUT", ffTags},
        {"ffmpeg.wav", ff + "OUT", ffTags},
        // AIFF holds a name and an annotation only.
        {"ffmpeg.aiff", ff + "OUT", {"Мотли Кафе", "", "", "", "☕ x", "", ""}},
        {"sox.flac", soxComments, ffTags},
        {"sox.ogg", soxComments, ffTags},
        {"v22.mp3", "", {"Мотли Кафе", "Latin-1 é", "", "2014", "", "5/9", "Pop"}},
        {"v24-utf16be.mp3", "", {"Мотли Кафе", "東京", "☕ x", "", "", "2", "Remix"}},
        // Written before tags were read from every format: the comment earlier versions stored as libsndfile's
        // software string; an untagged file stays untagged (ffmpeg's ENCODER and ISFT are no tags of ours).
        {"older.flac", "ffmpeg -v error -y -i IN -metadata TITLE=t -metadata SOFTWARE='made by hand (libsndfile-1.2.0)' OUT", {"t", "", "", "", "made by hand", "", ""}},
        {"untagged.flac", "ffmpeg -v error -i IN OUT", kNone},
        {"untagged.wav", "ffmpeg -v error -i IN OUT", kNone},
        {"untagged.mp3", "lame --quiet -b 64 IN OUT", kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tmp.path(c.name);
        const bool mp3 = std::string(c.name).find(".mp3") != std::string::npos;
        if (!c.command.empty()) {
            QString command = QString::fromStdString(c.command);
            command.replace(" IN ", QString::fromStdString(" '" + wav + "' "));
            command.replace(" OUT", QString::fromStdString(" '" + path + "'"));
            ASSERT_EQ(TestUtil::run(command.toStdString()), 0) << command.toStdString();
        } else {
            const std::string tag = std::string(c.name) == "v22.mp3"
                ? id3v2(2, {{"TT2", "\x01" + utf16("Мотли Кафе", false)}, {"TP1", std::string(1, '\0') + "Latin-1 \xE9"}, {"TYE", std::string(1, '\0') + "2014"}, {"TRK", std::string(1, '\0') + "5/9"}, {"TCO", std::string(1, '\0') + "(13)"}})
                : id3v2(4, {{"TIT2", "\x02" + utf16("Мотли Кафе", true)}, {"TPE1", "\x03" + std::string("東京")}, {"TALB", "\x01" + utf16("☕ x", false)}, {"TRCK", std::string(1, '\0') + "2"}, {"TCON", std::string(1, '\0') + "(RX)"}});
            std::ofstream(path, std::ios::binary) << tag << fileBytes(plain);
        }
        SoundIDTag back;
        const bool tagged = TestUtil::fields(c.expected) != TestUtil::fields(kNone);
        ASSERT_EQ(readTags(path, back, mp3), tagged);
        if (tagged)
            EXPECT_EQ(TestUtil::fields(back), TestUtil::fields(c.expected));
    }
}

// Damaged and hostile ID3v2 tags (sizes, encodings, text bytes flipped at
// random) never crash the reader, and whatever it finds is valid UTF-8.
TEST_F(SoundTags, HostileId3TagsGiveValidText)
{
    const std::string wav = tmp.path("in.wav"), plain = tmp.path("plain.mp3");
    ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 16 '" + wav + "' synth 0.1 sine 440"), 0);
    ASSERT_EQ(TestUtil::run("lame --quiet -b 64 '" + wav + "' '" + plain + "'"), 0);
    const std::string audio = fileBytes(plain);
    const std::string tag = id3v2(3, {{"TIT2", "\x01" + utf16("Мотли Кафе", false)}, {"TPE1", "\x03" + std::string("東京")}, {"COMM", std::string("\0eng\0a comment", 14)}, {"TCON", std::string(1, '\0') + "(13)"}});
    std::mt19937 random(15);
    const std::string path = tmp.path("hostile.mp3");
    for (int round = 0; round < 60; ++round) {
        std::string bytes = tag;
        for (int k = 0; k < 1 + round % 8; ++k)
            bytes[3 + random() % (bytes.size() - 3)] = static_cast<char>(random());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes << audio;
        SoundReaderMp3 reader;
        if (reader.open(path.c_str()) != SoundTools::StatusOk)
            continue;
        SoundIDTag back;
        reader.getTags(back);
        for (const std::string& field : TestUtil::fields(back))
            EXPECT_EQ(QString::fromUtf8(field.c_str()).toUtf8().toStdString(), field) << "round " << round;
    }
}
