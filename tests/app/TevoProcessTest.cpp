// End-to-end tests of the tevo host: real files in, real files out, checked
// with sox as an independent reader.
#include "TestUtil.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unistd.h>
#include <csignal>

using namespace TestUtil;

namespace {

using Result = TestUtil::TevoRun;

Result tevo(const QStringList& args)
{
    return TestUtil::runTevo(args);
}

class TevoProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(TestUtil::haveTool("sox")) << "sox is needed as the independent reference";
        input = dir.filePath("in.wav");
        // Two seconds of a 440 Hz / 1 kHz stereo pair at -6 dBFS, 16 bits.
        ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -b 16 '" + input.toStdString()
                                + "' synth 2 sine 440 sine 1000 gain -6 channels 2"),
                  0);
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    /// sox synthesises `seconds` of a tone into `name` with the format options given.
    QString make(const QString& name, const std::string& format, double seconds = 1.0, const std::string& gain = "-6")
    {
        const QString file = path(name);
        EXPECT_EQ(TestUtil::run("sox -V1 -n -r 44100 " + format + " '" + file.toStdString() + "' synth "
                                + std::to_string(seconds) + " sine 440 gain " + gain),
                  0);
        return file;
    }
    /// The names in the folder, temporary files included.
    QStringList listing() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

    QTemporaryDir dir;
    QString input;
};

QByteArray bytes(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::string soxi(const QString& file, const char* what)
{
    std::string out;
    TestUtil::run(std::string("soxi -V1 ") + what + " '" + file.toStdString() + "'", &out);
    return out.substr(0, out.find('\n'));
}

} // namespace

// Every refusal exits 2 before anything is opened: the input and any
// existing file stay byte for byte, and no temporary file is left.
TEST_F(TevoProcess, RefusalsLeaveEveryFileAsItWas)
{
    const QString flac = path("x.flac");
    ASSERT_EQ(TestUtil::run("sox -V1 '" + input.toStdString() + "' '" + flac.toStdString() + "'"), 0);
    ASSERT_TRUE(QFile::link(input, path("link.wav")));
    ASSERT_EQ(::link(QFile::encodeName(input).constData(), QFile::encodeName(path("hard.wav")).constData()), 0);
    // The first file of a split of "seg.wav" would be the input itself.
    ASSERT_EQ(::link(QFile::encodeName(input).constData(), QFile::encodeName(path("001-seg.wav")).constData()), 0);
    QFile existing(path("existing.wav"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("keep me");
    existing.close();
    QDir(dir.path()).mkdir("o");
    const QByteArray before = bytes(input), flacBefore = bytes(flac);
    const QStringList files = listing();

    const QString dotted = dir.path() + "/./in.wav";
    const QStringList refused[] = {
        {"process", input, input, "--gain", "-6"},
        {"process", input, dotted},
        {"process", input, path("hard.wav"), "-y"},
        {"process", input, path("link.wav"), "-y"},
        {"level", flac, flac, "-y"},
        {"split", input, path("seg.wav"), "--min", "0", "-y"},
        {"process", input, path("existing.wav")},
        {"level", input, path("existing.wav")},
        {"process", input, path("out.aiff.bak")},
        {"process", input, path("out.pcm")},
        {"process", input, path("o") + "/../noext"},
        {"process", input, path("x.wav"), "--format", "pcm12"},
        {"process", input, path("x.wav"), "--gain", "loud"},
        {"process", input, path("x.wav"), "--range", "2", "1"},
        {"process", input, path("x.wav"), "--channels", "3"},
        {"process", input, path("x.mp3"), "--quality", "10"},
        {"process", input, path("existing.wav"), "-y", "--quality", "3"},
        {"process", input},
        {"frobnicate"},
    };
    for (const QStringList& args : refused) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result r = tevo(args);
        EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    EXPECT_EQ(bytes(input), before);
    EXPECT_EQ(bytes(flac), flacBefore);
    EXPECT_EQ(bytes(path("existing.wav")), QByteArray("keep me"));
    EXPECT_EQ(listing(), files);
    const Result unknown = tevo({"process", input, path("out.pcm")});
    EXPECT_TRUE(unknown.err.contains(".wav, .wave, .flac")) << "the refusal lists the known extensions";

    // With -y an existing output is replaced, and only then.
    const Result replaced = tevo({"process", input, path("existing.wav"), "-y", "-q"});
    EXPECT_EQ(replaced.exitCode, 0) << replaced.err.toStdString();
    EXPECT_EQ(TestUtil::soxReadStereo(path("existing.wav").toStdString()), TestUtil::soxReadStereo(input.toStdString()));
}

// A run that fails half-way leaves the existing output untouched and no
// temporary file; a stopped run keeps its part under a ".partial" name.
TEST_F(TevoProcess, FailedAndStoppedRunsKeepWhatWasThere)
{
    for (const char* ext : {"flac", "ogg"}) {
        SCOPED_TRACE(ext);
        const QString whole = make(QString("whole.") + ext, "-c 2", 20);
        const QString cut = path(QString("cut.") + ext);
        QFile out(cut);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes(whole).left(bytes(whole).size() / 2));
        out.close();
        EXPECT_EQ(tevo({"process", whole, path("ok.wav"), "-y", "-q"}).exitCode, 0);
        const QByteArray ok = bytes(path("ok.wav"));
        const QStringList files = listing();
        Result r = tevo({"process", cut, path("ok.wav"), "-y"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(cut) && r.err.contains("ends early")) << r.err.toStdString();
        EXPECT_EQ(bytes(path("ok.wav")), ok);
        EXPECT_EQ(listing(), files);
    }
    // A full disk must not be reported as success either.
    EXPECT_NE(tevo({"process", input, "/dev/full"}).exitCode, 0);
    Result missing = tevo({"process", path("nope.wav"), path("x.wav")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains(path("nope.wav"))) << missing.err.toStdString();
    EXPECT_EQ(tevo({"process", input, path("missing/dir/out.wav")}).exitCode, 1);

    // Ctrl-C: exit 3, nothing under the final name, the part done under a
    // name that says so.
    const QString longInput = make("long.wav", "-c 2 -b 16", 600);
    QProcess process;
    process.start(QString::fromStdString(TestUtil::tevoPath()), {"process", longInput, path("long-out.flac")});
    ASSERT_TRUE(process.waitForStarted());
    QThread::msleep(400);
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(60000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 3) << err.toStdString();
    EXPECT_FALSE(QFile::exists(path("long-out.flac")));
    EXPECT_TRUE(err.contains(path("long-out.partial.flac"))) << err.toStdString();
    EXPECT_GT(TestUtil::soxReadStereo(path("long-out.partial.flac").toStdString()).size(), 0u);
    EXPECT_FALSE(listing().join(' ').contains(".tevo-")) << listing().join(' ').toStdString();
}

// The output keeps the input's channels and sample format unless told
// otherwise; fewer bits get dither, clipping is counted.
TEST_F(TevoProcess, OutputFollowsTheInput)
{
    ASSERT_TRUE(TestUtil::haveTool("lame"));
    struct Case {
        const char* input; // sox format options
        const char* gain;
        QStringList options;
        const char* channels; // soxi -c of the output
        const char* bits;     // soxi -b
        const char* encoding; // first word of soxi -e
        const char* warning;  // in standard error; "" for none
    };
    const Case cases[] = {
        {"-c 1 -b 16", "-6", {}, "1", "16", "Signed", ""},
        {"-c 1 -b 16", "-6", {"--channels", "2"}, "2", "16", "Signed", ""},
        {"-c 2 -b 16", "-6", {"--channels", "1"}, "1", "16", "Signed", ""},
        {"-c 2 -b 24", "-6", {}, "2", "24", "Signed", ""},
        {"-c 2 -e floating-point -b 32", "+3", {}, "2", "32", "Floating", ""},
        {"-c 2 -e floating-point -b 32", "+3", {"--format", "pcm16"}, "2", "16", "Signed", "clipped"},
        {"-c 6 -b 16", "-6", {}, "2", "16", "Signed", "channels 3 to 6 are dropped"},
        {"-c 1 -b 16", "-6", {"--format", "pcm24"}, "1", "24", "Signed", ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString in = path(QString("in%1.wav").arg(n));
        if (std::strcmp(c.gain, "+3") == 0) {
            // sox clips what it makes; scipy writes float beyond full scale.
            ASSERT_EQ(TestUtil::run("/usr/bin/python3 -c \"import numpy as n, scipy.io.wavfile as w; "
                                    "x = (1.4 * n.sin(2 * n.pi * 440 * n.arange(44100) / 44100)).astype(n.float32); "
                                    "w.write('"
                                    + in.toStdString() + "', 44100, n.stack([x, x], 1))\""),
                      0);
        } else {
            make(QString("in%1.wav").arg(n), c.input, 1.0, c.gain);
        }
        const QString out = path(QString("out%1.wav").arg(n++));
        SCOPED_TRACE((QString(c.input) + " " + c.options.join(' ')).toStdString());
        const Result r = tevo(QStringList{"process", in, out} + c.options);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(soxi(out, "-c"), c.channels);
        EXPECT_EQ(soxi(out, "-b"), c.bits);
        EXPECT_EQ(soxi(out, "-e").substr(0, std::strlen(c.encoding)), c.encoding);
        if (*c.warning)
            EXPECT_TRUE(r.err.contains(c.warning)) << r.err.toStdString();
        else
            EXPECT_FALSE(r.err.contains("warning")) << r.err.toStdString();
    }
    // Float above full scale stays whole in float output (scipy reads it unclipped).
    std::string peak;
    TestUtil::run("/usr/bin/python3 -c \"import numpy as n, scipy.io.wavfile as w; print(n.abs(w.read('"
                      + path("out4.wav").toStdString() + "')[1]).max())\"",
                  &peak);
    EXPECT_NEAR(std::atof(peak.c_str()), 1.4, 0.01);
    // MP3 and Ogg inputs give 16-bit; info tells the file's own channels.
    const QString mp3 = path("in.mp3");
    ASSERT_EQ(TestUtil::run("lame --quiet -m m '" + path("in0.wav").toStdString() + "' '" + mp3.toStdString() + "'"), 0);
    ASSERT_EQ(tevo({"process", mp3, path("from-mp3.flac")}).exitCode, 0);
    EXPECT_EQ(soxi(path("from-mp3.flac"), "-p"), "16");
    EXPECT_EQ(soxi(path("from-mp3.flac"), "-c"), "1");
    EXPECT_TRUE(tevo({"info", path("in6.wav")}).out.contains("6 (read as stereo)"));

    // A -98 dBFS 24-bit sine (0.4 of a 16-bit step) to 16 bits: with dither
    // the tone survives at its level in the noise, rounding alone erases it.
    const QString quiet = make("quiet.wav", "-c 1 -b 24", 1.0, "-98");
    ASSERT_EQ(tevo({"process", quiet, path("dithered.wav"), "--format", "pcm16"}).exitCode, 0);
    ASSERT_EQ(tevo({"process", quiet, path("rounded.wav"), "--format", "pcm16", "--no-dither"}).exitCode, 0);
    const std::vector<double> tone = TestUtil::soxReadStereo(quiet.toStdString());
    auto toneGain = [&tone](const QString& file) {
        const std::vector<double> s = TestUtil::soxReadStereo(file.toStdString());
        double num = 0, den = 0;
        for (size_t i = 0; i < std::min(s.size(), tone.size()); ++i) {
            num += s[i] * tone[i];
            den += tone[i] * tone[i];
        }
        return num / den;
    };
    EXPECT_NEAR(toneGain(path("dithered.wav")), 1.0, 0.1);
    EXPECT_NEAR(toneGain(path("rounded.wav")), 0.0, 0.1);
}

// Every container written, read back by sox (ffmpeg for Opus); lossless ones
// bit for bit. Inputs whose names lie are read by their content.
TEST_F(TevoProcess, EveryFormatRoundTripsAndInputsAreKnownByContent)
{
    const auto reference = TestUtil::soxReadStereo(input.toStdString());
    const char* lossless[] = {"a.wav", "b.WAVE", "c.flac", "d.aif", "e.AIFF"};
    for (const char* name : lossless) {
        SCOPED_TRACE(name);
        ASSERT_EQ(tevo({"process", input, path(name)}).exitCode, 0);
        EXPECT_EQ(TestUtil::soxReadStereo(path(name).toStdString()), reference);
    }
    for (const char* name : {"f.ogg", "g.oga", "h.mp3"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(tevo({"process", input, path(name)}).exitCode, 0);
        EXPECT_NEAR(double(TestUtil::soxReadStereo(path(name).toStdString()).size()), double(reference.size()),
                    0.02 * reference.size());
    }
    const QString at48 = make("48k.wav", "-c 2 -b 16");
    ASSERT_EQ(TestUtil::run("sox -V1 '" + input.toStdString() + "' -r 48000 '" + at48.toStdString() + "'"), 0);
    ASSERT_EQ(tevo({"process", at48, path("i.opus")}).exitCode, 0);
    std::string codec;
    TestUtil::run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path("i.opus").toStdString() + "'",
                  &codec);
    EXPECT_EQ(codec.substr(0, 4), "opus");
    ASSERT_EQ(tevo({"process", input, path("j.raw")}).exitCode, 0);
    EXPECT_EQ(QFileInfo(path("j.raw")).size(), qint64(reference.size() * sizeof(float)));
    ASSERT_EQ(tevo({"process", path("j.raw"), path("from-raw.wav"), "--format", "pcm16", "--no-dither"}).exitCode, 0);
    EXPECT_EQ(TestUtil::soxReadStereo(path("from-raw.wav").toStdString()), reference);

    // Content over names: a WAV called .mp3, a WAV without extension, an MP3 called .wav.
    ASSERT_TRUE(QFile::copy(input, path("wav-named.mp3")));
    ASSERT_TRUE(QFile::copy(input, path("noext")));
    ASSERT_TRUE(QFile::copy(path("h.mp3"), path("mp3-named.wav")));
    for (const char* name : {"wav-named.mp3", "noext", "mp3-named.wav"}) {
        SCOPED_TRACE(name);
        const Result r = tevo({"info", path(name)});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("44100 Hz"));
    }
}

// Pipes: standard input by content, WAV (or --type) on standard output, and
// nothing but audio there.
TEST_F(TevoProcess, PipesCarryAudioOnly)
{
    ASSERT_TRUE(TestUtil::haveTool("ffmpeg") && TestUtil::haveTool("lame"));
    // The shell script runs under bash for pipefail: any failing stage fails it.
    const QString script = path("pipe.sh");
    QFile f(script);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QString("set -euo pipefail\ncd '%1'\nT='%2'\n"
                    "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=12 -ac 1 -f wav - | \"$T\" level - - 2>err.txt "
                    "| lame --quiet - piped.mp3\n"
                    "cat in.wav | \"$T\" process - - --type flac -q > piped.flac\n")
                .arg(dir.path(), QString::fromStdString(TestUtil::tevoPath()))
                .toUtf8());
    f.close();
    ASSERT_EQ(TestUtil::run("bash '" + script.toStdString() + "'"), 0);
    EXPECT_EQ(soxi(path("piped.mp3"), "-c"), "1");
    EXPECT_NEAR(std::stod(soxi(path("piped.mp3"), "-D")), 12.0, 0.1);
    EXPECT_TRUE(bytes(path("err.txt")).contains("regions")) << "results go to standard error with audio on standard output";
    EXPECT_EQ(soxi(path("piped.flac"), "-t"), "flac");
    EXPECT_EQ(TestUtil::soxReadStereo(path("piped.flac").toStdString()), TestUtil::soxReadStereo(input.toStdString()));
}

// Conventions shared by every command.
TEST_F(TevoProcess, CommandsShareTheirConventions)
{
    const Result usage = tevo({"--help"});
    QStringList commands;
    for (const QString& line : usage.out.split('\n'))
        if (line.startsWith("  "))
            commands << line.trimmed().section(' ', 0, 0);
    ASSERT_GE(commands.size(), 8);
    for (const QString& command : commands) {
        SCOPED_TRACE(command.toStdString());
        const Result help = tevo({command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_TRUE(help.out.startsWith("Usage: tevo " + command + " ")) << help.out.left(80).toStdString();
        EXPECT_TRUE(help.out.contains("--quiet") && help.out.contains("--verbose"));
    }
    for (const char* command : {"info", "stats", "regions"}) {
        const Result r = tevo({command, input, "--json", "-q"});
        SCOPED_TRACE(command);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
        EXPECT_TRUE(QJsonDocument::fromJson(r.out.toUtf8()).isObject()) << r.out.toStdString();
    }
    QDir(dir.path()).mkdir("parts");
    for (const QStringList& args : {QStringList{"level", input, path("lev.wav")},
                                    QStringList{"split", input, path("parts/p.wav"), "--min", "0.5"}}) {
        const Result r = tevo(args + QStringList{"--json", "-q"});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(QJsonDocument::fromJson(r.out.toUtf8()).isObject()) << r.out.toStdString();
    }
    const Result info = tevo({"info", input, "--json"});
    const QJsonObject object = QJsonDocument::fromJson(info.out.toUtf8()).object();
    EXPECT_EQ(object["sampleRate"].toInt(), 44100);
    EXPECT_EQ(object["frames"].toInt(), 88200);
    EXPECT_EQ(object["channels"].toInt(), 2);
    EXPECT_EQ(object["sampleFormat"].toString(), "pcm16");

}

// Times as [[hh:]mm:]ss[.mmm]; a range keeps its frames, a start the rest.
TEST_F(TevoProcess, StartAndRangeSelectTheRightFrames)
{
    const auto reference = TestUtil::soxReadStereo(input.toStdString());
    struct Case {
        QStringList options;
        std::size_t first, frames;
    };
    const Case cases[] = {{{"--range", "0.5", "1.25"}, 22050, 33075},
                          {{"--range", "00:00:00.5", "0:01.25"}, 22050, 33075},
                          {{"--start", "1.5"}, 66150, 22050}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.join(' ').toStdString());
        ASSERT_EQ(tevo(QStringList{"process", "-y", input, path("cut.wav")} + c.options).exitCode, 0);
        EXPECT_EQ(TestUtil::soxReadStereo(path("cut.wav").toStdString()),
                  std::vector<double>(reference.begin() + 2 * c.first, reference.begin() + 2 * (c.first + c.frames)));
    }
    EXPECT_EQ(tevo({"process", input, path("t2.wav"), "--start", "1:75"}).exitCode, 2);
}

// The demo writes into its own folder: run again, it replaces what it wrote
// (the first command of the README, run twice) and every step succeeds.
TEST_F(TevoProcess, DemoRunsAgainIntoItsOwnFolder)
{
    for (int run = 0; run < 2; ++run) {
        const Result r = tevo({"demo", path("demo")});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("0 step(s) failed")) << r.out.toStdString() << r.err.toStdString();
    }
}
