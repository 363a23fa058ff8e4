// tevo play as a user runs it: a file synthesised by sox, commands on
// standard input, the audio output of the PulseAudio null sink.

#include "Playback.h"

using namespace TestUtil;

namespace {

class CmdPlayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TEVO();
        REQUIRE_TOOLS("sox");
        ASSERT_TRUE(dir.isValid());
    }

    /// A stereo WAV of `seconds` of two sines, written by sox.
    std::string makeFile(const char* name, double seconds)
    {
        const std::string path = dir.filePath(name).toStdString();
        const int rc = TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 16 '" + path + "' synth " + std::to_string(seconds)
                                     + " sine 440 sine 1000 vol 0.3");
        EXPECT_EQ(rc, 0);
        return path;
    }

    /// Runs tevo play with `arguments` and `input` on standard input; the
    /// exit code, with both output streams in `output`.
    int play(const std::string& arguments, const std::string& input, std::string& output)
    {
        return TestUtil::run(
            "printf '" + input + "' | '" + TestUtil::tevoPath() + "' play " + arguments + " 2>&1", &output);
    }

    QTemporaryDir dir;
};

TEST_F(CmdPlayTest, PlaysToTheEndApplyingCommandsAndReportingBadOnes)
{
    REQUIRE_AUDIO();
    const std::string file = makeFile("tone.wav", 2.0);
    std::string output;
    const int rc = play("'" + file + "' --level -20 --gate -60 --eq peak:1000:1:0",
                        "level -10\\nbogus 3\\neq 1 level -6\\neq 2 level 1\\ngate -70\\n", output);
    EXPECT_EQ(rc, 0) << output;
    EXPECT_NE(output.find("level -10 dB"), std::string::npos) << output;
    EXPECT_NE(output.find("eq band 1 gain -6 dB"), std::string::npos) << output;
    EXPECT_NE(output.find("gate -70 dB"), std::string::npos) << output;
    // Errors take one line each and playback goes on to the end.
    EXPECT_NE(output.find("tevo: unknown command 'bogus 3'"), std::string::npos) << output;
    EXPECT_NE(output.find("tevo: eq: BAND must be from 1 to 1"), std::string::npos) << output;
    // A progress line; exit code 0 says the sound ran out (not stopped, not broken off).
    EXPECT_NE(output.find("playing 00:00:01.000 / 00:00:02.000"), std::string::npos) << output;
}

TEST_F(CmdPlayTest, StopCommandEndsPlaybackEarly)
{
    REQUIRE_AUDIO();
    const std::string file = makeFile("long.wav", 60.0);
    std::string output;
    // The pause lets playback begin before the command arrives.
    const int rc
        = TestUtil::run("(sleep 1; echo stop) | '" + TestUtil::tevoPath() + "' play '" + file + "' 2>&1", &output);
    EXPECT_EQ(rc, 0) << output;
    EXPECT_NE(output.find("stopped"), std::string::npos) << output;
    EXPECT_EQ(output.find("playing 00:00:30"), std::string::npos) << "played on after stop:\n"
                                                                  << output;
}

TEST_F(CmdPlayTest, RefusesBadOptionsAndReportsAMissingAudioDevice)
{
    const std::string file = makeFile("short.wav", 0.5);
    for (const char* bad : {"--eq notch:1000", "--level loud", "--gate 5", "--start 10"}) {
        std::string output;
        EXPECT_EQ(play("'" + file + "' " + bad, "", output), 2) << bad << ": " << output;
        EXPECT_NE(output.find("tevo: --"), std::string::npos) << bad << ": " << output;
    }

    // No server behind the socket: the output cannot open.
    // One clear line on standard error, nothing on standard output, and
    // Qt's own complaints only with --verbose.
    std::string output, errors;
    const std::string command = "PULSE_SERVER=unix:/nonexistent/socket '" + TestUtil::tevoPath() + "' play '" + file + "' </dev/null";
    EXPECT_NE(TestUtil::run(command + " 2>/dev/null", &output), 0);
    EXPECT_EQ(output, "");
    EXPECT_NE(TestUtil::run(command + " 2>&1 >/dev/null", &errors), 0);
    EXPECT_NE(errors.find("tevo: cannot play: Error opening audio device"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("PulseAudio"), std::string::npos) << errors;
}

} // namespace
