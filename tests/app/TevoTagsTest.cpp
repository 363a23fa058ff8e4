// Tags through tevo's commands: given on the command line in any script,
// carried from the input, overridden field by field, numbered by split; the
// files are read back by ffprobe.
#include "TestUtil.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>

using namespace TestUtil;

TEST(TevoTags, CommandsWriteCarryAndNumberTags)
{
    REQUIRE_TOOLS("sox", "ffprobe");
    QTemporaryDir dir;
    auto path = [&](const char* name) { return dir.filePath(name); };
    // Two passages of tone, two seconds of silence between them.
    ASSERT_EQ(TestUtil::run("cd '" + dir.path().toStdString() + "' && sox -V1 -n -r 44100 -c 2 -b 16 tone.wav synth 2 "
                                                                "sine 440 gain -6 && sox -V1 -n -r 44100 -c 2 -b 16 gap.wav trim 0 2 && "
                                                                "sox -V1 tone.wav gap.wav tone.wav in.wav"),
              0);
    const QString in = path("in.wav");
    using Tags = std::map<std::string, std::string>;
    const Tags all = {{"title", "Live – at “home”"}, {"artist", "Мотли Кафе"}, {"album", "東京の夜"}, {"date", "2014"}, {"comment", "☕ 🎶"}, {"track", "4"}, {"genre", "Rock"}};
    Tags overridden = all;
    overridden["title"] = "Новый";
    overridden.erase("comment");
    const struct {
        const char* name;
        QStringList args;
        const char* probe; ///< file read back
        Tags expected;     ///< exactly the tags found (keys ffprobe adds itself aside)
    } steps[] = {
        // Reported faults first: non-Latin texts into MP3, the comment of a
        // FLAC file, tags of an Ogg file.
        {"mp3 options", {"process", in, path("t.mp3"), "--title", "Live – at “home”", "--artist", "Мотли Кафе", "--album", "東京の夜", "--year", "2014", "--comment", "☕ 🎶", "--track", "4", "--genre", "Rock"}, "t.mp3", all},
        {"flac comment", {"process", in, path("c.flac"), "--comment", "c"}, "c.flac", {{"comment", "c"}}},
        {"ogg options", {"process", path("t.mp3"), path("t.ogg")}, "t.ogg", all},
        // Carried from input to output, across formats, by every command.
        {"mp3 to mp3", {"process", path("t.mp3"), path("copy.mp3")}, "copy.mp3", all},
        {"mp3 to flac", {"process", path("t.mp3"), path("t.flac")}, "t.flac", all},
        {"flac to wav", {"process", path("t.flac"), path("t.wav")}, "t.wav", all},
        {"level mp3", {"level", path("t.mp3"), path("level.mp3")}, "level.mp3", all},
        {"level override", {"level", path("t.flac"), path("level.flac"), "--title", "Новый", "--comment", ""}, "level.flac", overridden},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        const TestUtil::TevoRun run = TestUtil::runTevo(step.args);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        Tags found = TestUtil::probeTags(path(step.probe).toStdString());
        EXPECT_EQ(found, step.expected);
    }

    // Split: every part numbered, title, artist and album kept from the input
    // unless given; the other fields carried too.
    for (const char* format : {"mp3", "flac", "ogg", "wav"}) {
        SCOPED_TRACE(format);
        const QString pattern = path("part.") + format;
        const TestUtil::TevoRun run = TestUtil::runTevo({"split", path("t.flac"), pattern, "--min", "1", "--artist", "Другой"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        for (int n = 1; n <= 2; ++n) {
            Tags expected = all;
            expected["artist"] = "Другой";
            expected["track"] = std::to_string(n);
            Tags found = TestUtil::probeTags(dir.filePath(QString("00%1-part.%2").arg(n).arg(format)).toStdString());
            EXPECT_EQ(found, expected) << "part " << n;
        }
    }

    // info shows what tevo wrote, in every format.
    for (const char* file : {"t.mp3", "t.flac", "t.ogg", "t.wav"}) {
        const TestUtil::TevoRun run = TestUtil::runTevo({"info", path(file)});
        ASSERT_EQ(run.exitCode, 0) << file;
        const std::string out = run.out.toStdString();
        for (const char* line : {"Title:         Live – at “home”", "Artist:        Мотли Кафе", "Album:         東京の夜",
                                 "Year:          2014", "Comment:       ☕ 🎶", "Track:         4", "Genre:         Rock"})
            EXPECT_NE(out.find(line), std::string::npos) << file << ": " << line << " in\n"
                                                         << out;
    }
}
