// End-to-end tests of the tevo host: real files in, real files out, checked with sox, ffmpeg and ffprobe as
// independent readers. tevo gives back the stream it was given (same length, lined up, nothing lost or invented),
// refuses what it cannot do before touching any file, and its filters agree with sox running the same designs and
// with the analytic responses; tags are written, carried from the input and numbered by split.
#include "TestUtil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <unistd.h>
#include <csignal>

using namespace TestUtil;

namespace {

using Result = TestUtil::TevoRun;

const auto tevo = [](const QStringList& args) { return TestUtil::runTevo(args); };

class TevoProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TEVO();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(TestUtil::haveTool("sox")) << "sox is needed as the independent reference";
        input = dir.filePath("in.wav");
        // Two seconds of a 440 Hz / 1 kHz stereo pair at -6 dBFS, 16 bits.
        sox("-n -r 44100 -b 16 '" + input.toStdString() + "' synth 2 sine 440 sine 1000 gain -6 channels 2");
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    std::string p(const QString& name) const { return path(name).toStdString(); }
    void sox(const std::string& args) { ASSERT_EQ(TestUtil::run("sox -V1 " + args), 0) << args; }
    /// sox synthesises `seconds` of a tone into `name` with the format options given.
    QString make(const QString& name, const std::string& format, double seconds = 1.0, const std::string& gain = "-6")
    {
        sox("-n -r 44100 " + format + " '" + p(name) + "' synth " + std::to_string(seconds) + " sine 440 gain " + gain);
        return path(name);
    }
    /// The names in the folder, temporary files included.
    QStringList listing() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    /// Frames of a file as sox reads them.
    size_t frames(const QString& name) const { return TestUtil::soxReadStereo(p(name)).size() / 2; }
    /// Keeps the first `bytes` bytes of `from` in `to` (a file cut off).
    void cut(const QString& from, const QString& to, qint64 bytes)
    {
        QFile in(path(from)), out(path(to));
        ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        out.write(in.read(bytes));
    }
    /// Level of a tone of `freq` Hz in the left channel of a file, over its second second (whole periods).
    static double toneDb(const std::string& file, double freq, unsigned rate)
    {
        return toDb(toneAmplitude(soxReadStereo(file), freq, rate, rate, 2 * rate));
    }

    QTemporaryDir dir;
    QString input;
};
using TevoStream = TevoProcess;
using TevoFilterOptions = TevoProcess;
using TevoTags = TevoProcess;

std::string soxi(const QString& file, const char* what)
{
    return TestUtil::firstLine("soxi -V1 " + std::string(what) + " '" + file.toStdString() + "'");
}

/// Index of the largest magnitude of the left channel.
size_t peakAt(const std::vector<double>& s)
{
    size_t best = 0;
    for (size_t i = 0; i < s.size(); i += 2)
        if (std::fabs(s[i]) > std::fabs(s[best]))
            best = i;
    return best / 2;
}

} // namespace

// Every refusal exits 2 before anything is opened: the input and any
// existing file stay byte for byte, and no temporary file is left.
TEST_F(TevoProcess, RefusalsLeaveEveryFileAsItWas)
{
    const QString flac = path("x.flac");
    sox("'" + input.toStdString() + "' '" + flac.toStdString() + "'");
    ASSERT_TRUE(QFile::link(input, path("link.wav")));
    ASSERT_EQ(::link(QFile::encodeName(input).constData(), QFile::encodeName(path("hard.wav")).constData()), 0);
    // The first file of a split of "seg.wav" would be the input itself.
    ASSERT_EQ(::link(QFile::encodeName(input).constData(), QFile::encodeName(path("001-seg.wav")).constData()), 0);
    QFile existing(path("existing.wav"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("keep me");
    existing.close();
    QDir(dir.path()).mkdir("o");
    const QByteArray before = fileBytes(input), flacBefore = fileBytes(flac);
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
    // Bad filter values on an input that does not exist: exit code 2, not the 1 of a failed open, shows that
    // nothing was read.
    const QStringList badFilters[] = {{"--eq", "notch:1000:1:0"}, {"--eq", "peak:0:1:3"}, {"--eq", "peak:-5:1:3"}, {"--eq", "peak:abc:1:3"}, {"--eq", "peak:1000:x:3"}, {"--eq", "peak:1000:1:loud"}, {"--eq", "peak"}, {"--eq", "peak:1000:0:3"}, {"--lowpass1", "0"}, {"--highpass1", "abc"}, {"--lowpass1", "-20"}};
    for (const QStringList& option : badFilters) {
        SCOPED_TRACE(option.join(' ').toStdString());
        const Result r = tevo(QStringList{"process", path("missing.wav"), path("x.wav")} + option);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_FALSE(r.err.trimmed().isEmpty());
        EXPECT_FALSE(r.err.contains("missing.wav")) << r.err.toStdString();
    }
    EXPECT_EQ(fileBytes(input), before);
    EXPECT_EQ(fileBytes(flac), flacBefore);
    EXPECT_EQ(fileBytes(path("existing.wav")), QByteArray("keep me"));
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
        const QString broken = path(QString("cut.") + ext);
        cut(QString("whole.") + ext, QString("cut.") + ext, QFileInfo(whole).size() / 2);
        EXPECT_EQ(tevo({"process", whole, path("ok.wav"), "-y", "-q"}).exitCode, 0);
        const QByteArray ok = fileBytes(path("ok.wav"));
        const QStringList files = listing();
        Result r = tevo({"process", broken, path("ok.wav"), "-y"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(broken) && r.err.contains("ends early")) << r.err.toStdString();
        EXPECT_EQ(fileBytes(path("ok.wav")), ok);
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
    sox("'" + input.toStdString() + "' -r 48000 '" + at48.toStdString() + "'");
    ASSERT_EQ(tevo({"process", at48, path("i.opus")}).exitCode, 0);
    std::string codec;
    TestUtil::run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path("i.opus").toStdString() + "'",
                  &codec);
    EXPECT_EQ(codec.substr(0, 4), "opus");
    ASSERT_EQ(tevo({"process", input, path("j.raw")}).exitCode, 0);
    EXPECT_EQ(QFileInfo(path("j.raw")).size(), qint64(reference.size() * sizeof(float)));
    ASSERT_EQ(tevo({"process", path("j.raw"), path("from-raw.wav"), "--format", "pcm16", "--no-dither"}).exitCode, 0);
    EXPECT_EQ(TestUtil::soxReadStereo(path("from-raw.wav").toStdString()), reference);
    // An MP3 called .wav is read as what it holds (the readers' choice is tested in full in io).
    ASSERT_TRUE(QFile::copy(path("h.mp3"), path("mp3-named.wav")));
    EXPECT_TRUE(tevo({"info", path("mp3-named.wav")}).out.contains("44100 Hz"));
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
    EXPECT_TRUE(fileBytes(path("err.txt")).contains("regions")) << "results go to standard error with audio on standard output";
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

TEST_F(TevoStream, FiltersKeepLengthAndPosition)
{
    // One second: an impulse at frame 20000 over a quiet 3 kHz tone.
    sox("-n -r 44100 -c 2 -b 32 -e float " + p("tone.wav") + " synth 1 sine 3000 vol 0.01");
    std::vector<double> in = TestUtil::soxReadStereo(p("tone.wav"));
    ASSERT_EQ(in.size(), 2u * 44100);
    in[2 * 20000] += 0.5;
    {
        // The impulse written through sox's own raw reader keeps the file independent of the library.
        QFile raw(path("in.f64"));
        ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
        raw.write(reinterpret_cast<const char*>(in.data()), qint64(in.size() * sizeof(double)));
    }
    sox("-t f64 -r 44100 -c 2 " + p("in.f64") + " -b 32 -e float " + p("in.wav"));
    const std::vector<QStringList> chains = {{"--fir", "highpass:100"},
                                             {"--gain", "0", "--fir", "highpass:100"},
                                             {"--fft-eq", "lowpass:5000"},
                                             {"--gain", "0", "--fft-eq", "bandpass:1000:8000"}};
    for (const QStringList& chain : chains) {
        SCOPED_TRACE(chain.join(' ').toStdString());
        const TestUtil::TevoRun r = TestUtil::runTevo(QStringList{"process", "-y", path("in.wav"), path("out.wav")} + chain);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const std::vector<double> out = TestUtil::soxReadStereo(p("out.wav"));
        EXPECT_EQ(out.size(), in.size()) << "as many frames as the input";
        EXPECT_EQ(peakAt(out), 20000u) << "the impulse stays where it was";
    }
}

TEST_F(TevoStream, StartAndRangePastTheEndAreRefusedBeforeReading)
{
    sox("-n -r 44100 -c 2 " + p("min.wav") + " synth 60 sine 440 vol 0.3");
    const std::vector<QStringList> commands = {
        {"process", path("min.wav"), path("o.wav"), "--start", "1000"},
        {"process", path("min.wav"), path("o.wav"), "--range", "70,80"},
        {"level", path("min.wav"), path("o.wav"), "--start", "1000"},
        {"level", path("min.wav"), path("o.wav"), "--range", "61,62"},
        {"split", path("min.wav"), path("o.wav"), "--start", "60"},
        {"process", path("min.wav"), path("o.wav"), "--start", "60000"}, // 2.6e9 frames: past 32 bits
    };
    for (const QStringList& args : commands) {
        SCOPED_TRACE(args.join(' ').toStdString());
        QFile::remove(path("o.wav"));
        const TestUtil::TevoRun r = TestUtil::runTevo(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains("past the end of the file (01:00.000)")) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(path("o.wav"))) << "nothing written";
    }
    const TestUtil::TevoRun r = TestUtil::runTevo({"process", "-y", path("min.wav"), path("o.wav"), "--start", "1000"});
    EXPECT_TRUE(r.err.contains("the start point 16:40.000 is past the end of the file (01:00.000)"))
        << r.err.toStdString();
    // Inside the file: the rest of it, whole.
    ASSERT_EQ(TestUtil::runTevo({"process", "-y", path("min.wav"), path("o.wav"), "--start", "59.5"}).exitCode, 0);
    EXPECT_EQ(frames("o.wav"), 22050u);
}

TEST_F(TevoStream, RegionsStayInsideTheInput)
{
    sox("-n -r 44100 -c 2 " + p("a.wav") + " synth 10 sine 440 vol 0.5 : synth 10 sine 440 vol 0.05 : synth 10 sine "
                                           "440 vol 0.5 : synth 10 sine 300 vol 0.2 : synth 10 sine 440 vol 0.01");
    const TestUtil::TevoRun r = TestUtil::runTevo({"regions", path("a.wav"), "--window", "10", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray regions = QJsonDocument::fromJson(r.out.toUtf8()).object()["regions"].toArray();
    ASSERT_GE(regions.size(), 4);
    // Every region within the 50 s, start and end; the closing mark starts at the end itself.
    for (int i = 0; i + 1 < regions.size(); ++i) {
        const QJsonObject region = regions[i].toObject();
        EXPECT_LE(region["startSeconds"].toDouble() + region["lengthSeconds"].toDouble(), 50.0 + 1e-6) << i;
    }
    EXPECT_NEAR(regions.last().toObject()["startSeconds"].toDouble(), 50.0, 0.01);
    EXPECT_LE(regions.last().toObject()["startSeconds"].toDouble(), 50.0);
}

TEST_F(TevoStream, CutAndUnannouncedInputs)
{
    ASSERT_TRUE(TestUtil::haveTool("lame") && TestUtil::haveTool("ffmpeg"));
    sox("-n -r 44100 -c 2 " + p("s3.wav") + " synth 3 sine 440 vol 0.5");
    ASSERT_EQ(TestUtil::run("lame --quiet -b 128 " + p("s3.wav") + " " + p("s3.mp3")), 0);
    cut("s3.mp3", "cut.mp3", 20000);
    ASSERT_EQ(TestUtil::run("ffmpeg -v quiet -y -i " + p("s3.wav") + " -rf64 always " + p("rf.wav")), 0);
    cut("rf.wav", "cutrf.wav", 300000);
    for (const char* name : {"cut.mp3", "cutrf.wav"}) {
        SCOPED_TRACE(name);
        for (const char* command : {"process", "stats"}) {
            QStringList args{command, path(name)};
            if (QString(command) == "process")
                args << path("o.wav");
            const TestUtil::TevoRun r = TestUtil::runTevo(args);
            EXPECT_EQ(r.exitCode, 1) << command;
            EXPECT_TRUE(r.err.contains(path(name) + " : the file ends early")) << r.err.toStdString();
        }
    }
    // A FLAC written to a pipe does not announce its length: read to its end, whole.
    ASSERT_EQ(TestUtil::run("ffmpeg -v quiet -i " + p("s3.wav") + " -f flac - | cat > " + p("pipe.flac")), 0);
    const TestUtil::TevoRun r = TestUtil::runTevo({"process", "-y", path("pipe.flac"), path("o.wav")});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(frames("o.wav"), 132300u);
    // The RF64 file whole reads whole.
    ASSERT_EQ(TestUtil::runTevo({"process", "-y", path("rf.wav"), path("o.wav")}).exitCode, 0);
    EXPECT_EQ(frames("o.wav"), 132300u);
}

TEST_F(TevoStream, Mp3LengthsAreExact)
{
    ASSERT_TRUE(TestUtil::haveTool("lame"));
    sox("-n -r 44100 -c 2 " + p("s1.wav") + " synth 1 sine 440 vol 0.5");
    // No Info frame, an ID3v2 tag with 128 kB of padding: the size-based estimate would count the tag as audio.
    ASSERT_EQ(TestUtil::run("lame --quiet -b 128 -t --add-id3v2 --pad-id3v2-size 131072 --tt Title " + p("s1.wav")
                            + " " + p("tag.mp3")),
              0);
    // A bogus Xing frame count (2^26 + 3) with the right byte count.
    ASSERT_EQ(TestUtil::run("lame --quiet -b 128 " + p("s1.wav") + " " + p("x.mp3")), 0);
    {
        QFile f(path("x.mp3"));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        QByteArray bytes = f.readAll();
        int at = bytes.indexOf("Info");
        ASSERT_GE(at, 0);
        const quint32 bogus = (1u << 26) + 3;
        for (int k = 0; k < 4; ++k)
            bytes[at + 8 + k] = char((bogus >> (24 - 8 * k)) & 0xff);
        f.seek(0);
        f.write(bytes);
    }
    for (const char* name : {"tag.mp3", "x.mp3"}) {
        SCOPED_TRACE(name);
        const size_t decoded = frames(name); // sox's own decoder
        const TestUtil::TevoRun info = TestUtil::runTevo({"info", path(name)});
        ASSERT_EQ(info.exitCode, 0) << info.err.toStdString();
        ASSERT_EQ(TestUtil::runTevo({"process", "-y", path(name), path("o.wav")}).exitCode, 0);
        const double seconds = double(frames("o.wav")) / 44100;
        EXPECT_NEAR(seconds, 1.0, 0.06) << "1 s of audio, whatever the tag or the header says";
        EXPECT_NEAR(double(frames("o.wav")), double(decoded), 2500.0);
        // A start point inside the audio reads the rest of it.
        ASSERT_EQ(TestUtil::runTevo({"process", "-y", path(name), path("o.wav"), "--start", "0.5"}).exitCode, 0);
        EXPECT_NEAR(double(frames("o.wav")) / 44100, seconds - 0.5, 0.01);
    }
}

TEST_F(TevoFilterOptions, EqualiserMatchesSox)
{
    // Three seconds of white noise at -20 dBFS, so that no stage clips.
    sox("-R -n -r 44100 -c 2 -b 16 '" + p("in.wav") + "' synth 3 whitenoise vol 0.1");
    // Every section type once; sox's bass and treble are the slope-form
    // shelves, its bandpass (without -c) the constant 0 dB peak form.
    const Result r = tevo({"process", path("in.wav"), path("tevo.wav"), "--format", "float32", "--eq",
                           "peak:1000:1:6", "--eq", "highpass:120:1.5:0", "--eq", "lowshelf:300:1:-4", "--eq",
                           "bandpass:4000:4:0", "--eq", "highshelf:3000:0.7:5", "--eq", "lowpass:12000:1:0"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(TestUtil::run("sox -V1 '" + p("in.wav") + "' -e floating-point -b 32 '" + p("sox.wav")
                            + "' equalizer 1000 1o 6 highpass 120 1.5o bass -4 300 1s bandpass 4000 4o"
                              " treble 5 3000 0.7s lowpass 12000 1o"),
              0);
    const auto ours = TestUtil::soxReadStereo(p("tevo.wav"));
    const auto theirs = TestUtil::soxReadStereo(p("sox.wav"));
    ASSERT_EQ(ours.size(), theirs.size());
    ASSERT_EQ(ours.size(), 2u * 3 * 44100);
    double worst = 0, peak = 0;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        worst = std::max(worst, std::fabs(ours[i] - theirs[i]));
        peak = std::max(peak, std::fabs(theirs[i]));
    }
    EXPECT_GT(peak, 0.01);
    // Float output (2^-24 relative) and sox's 32-bit integer samples between
    // effects: agreement to -100 dB of full scale.
    EXPECT_LT(worst, 1e-5);
}

TEST_F(TevoFilterOptions, FirstOrderAndWeightingOptions)
{
    // The designs are checked in the library's tests; here: each option puts
    // its filter in the chain (a 1 kHz tone at the first-order corners loses
    // exactly 3.01 dB; A-weighting leaves it at +0.005 dB at 48 kHz).
    const unsigned rate = 48000;
    sox("-n -r 48000 -c 2 -e floating-point -b 32 '" + p("sine.wav") + "' synth 2 sine 1000 vol 0.5");
    const std::pair<QStringList, double> cases[] = {
        {{"--lowpass1", "1000"}, -3.0103}, {{"--highpass1", "1000"}, -3.0103}, {{"--aweight"}, 0.005}};
    for (const auto& [options, wantDb] : cases) {
        SCOPED_TRACE(options.join(' ').toStdString());
        const Result r = tevo(QStringList{"process", path("sine.wav"), path("out.wav"), "--format", "float32", "-y"} + options);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_NEAR(toneDb(p("out.wav"), 1000, rate) - 20 * std::log10(0.5), wantDb, 0.01);
    }
}

// Filters that used to come out silently wrong: each row now does what was
// asked, measured on tones in the output, or is refused with a reason and
// exit code 1. The input holds eleven tones at -30 dBFS at once.
TEST_F(TevoFilterOptions, FilterDesignsDoWhatWasAskedOrRefuse)
{
    const unsigned rate = 44100;
    const double tones[] = {20, 35, 40, 48, 100, 300, 1000, 2000, 3000, 10000, 15000};
    {
        std::vector<double> s(2 * 3 * rate);
        for (std::size_t t = 0; t < s.size() / 2; ++t)
            for (double f : tones)
                s[2 * t] = s[2 * t + 1] += 0.0316227766 * std::sin(2 * M_PI * f * double(t) / rate);
        FILE* raw = std::fopen(p("in.f64").c_str(), "wb");
        ASSERT_NE(raw, nullptr);
        ASSERT_EQ(std::fwrite(s.data(), sizeof(double), s.size(), raw), s.size());
        std::fclose(raw);
        sox("-t f64 -r 44100 -c 2 '" + p("in.f64") + "' -e floating-point -b 32 '" + p("in.wav") + "'");
    }
    struct Row {
        QStringList options;
        std::vector<double> passHz; ///< within 1 dB of -30 dBFS
        std::vector<double> cutHz;  ///< below -60 dBFS (30 dB down)
        const char* refusal;        ///< part of the error text when refused
    };
    const Row rows[] = {
        {{"--fir", "lowpass:8000"}, {1000, 3000}, {15000}, nullptr},
        {{"--fir", "bandstop:1000:3000"}, {100, 10000}, {2000}, nullptr},
        {{"--fir", "highpass:100"}, {300, 1000, 15000}, {20, 35, 48}, nullptr},
        {{"--fir", "lowpass:30000"}, {}, {}, "not below half the sample rate"},
        {{"--fir", "bandstop:1000:1001"}, {}, {}, "the limit is 32768"},
        {{"--fft-eq", "highpass:100"}, {300, 1000}, {20, 35, 40}, nullptr},
        {{"--fft-eq", "highpass:200"}, {300, 1000}, {20, 35, 40, 48}, nullptr},
        {{"--fft-eq", "bandpass:60:1000"}, {}, {}, "use a larger transform"},
        {{"--fft-eq", "bandpass:100:1000:16384"}, {300, 1000}, {20, 35, 3000, 15000}, nullptr},
        {{"--fft-eq", "bandstop:60:1000"}, {20, 35, 40, 2000, 3000, 15000}, {300}, nullptr},
        {{"--eq", "lowpass:21000:1:0"}, {20, 1000, 3000, 10000, 15000}, {}, nullptr},
        {{"--eq", "peak:30000:1:6"}, {20, 1000, 3000, 10000}, {}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.options.join(' ').toStdString());
        const Result r = tevo(QStringList{"process", "-y", path("in.wav"), path("out.wav"), "--format", "float32"}
                              + row.options);
        if (row.refusal != nullptr) {
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_TRUE(r.err.contains(row.refusal)) << r.err.toStdString();
            continue;
        }
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        for (double f : row.passHz)
            EXPECT_NEAR(toneDb(p("out.wav"), f, rate), -30.0, 1.0) << f << " Hz";
        for (double f : row.cutHz)
            EXPECT_LT(toneDb(p("out.wav"), f, rate), -60.0) << f << " Hz";
    }

    // Without a width a low-pass is Butterworth: -3 dB at the corner, no
    // resonance below it (sox's default low-pass is the same Q 0.707).
    ASSERT_EQ(tevo({"process", path("in.wav"), path("bw.wav"), "--format", "float32", "--eq", "lowpass:1000"})
                  .exitCode,
              0);
    EXPECT_NEAR(toneDb(p("bw.wav"), 1000, rate), -33.01, 0.05);
    EXPECT_NEAR(toneDb(p("bw.wav"), 300, rate), -30.0, 0.05);
    sox("'" + p("in.wav") + "' '" + p("sox.wav") + "' lowpass 1000");
    EXPECT_NEAR(toneDb(p("bw.wav"), 3000, rate), toneDb(p("sox.wav"), 3000, rate), 0.05);

    // The band filters of `tevo bands`: a 50 Hz tone stays in the lowest band.
    sox("-n -r 44100 -c 2 -b 24 '" + p("tone.wav") + "' synth 3 sine 50 gain -9");
    const Result bands = tevo({"bands", path("tone.wav"), "--crossovers", "200,2000"});
    ASSERT_EQ(bands.exitCode, 0) << bands.err.toStdString();
    for (const QString& line : bands.out.split('\n')) {
        const QStringList cells = line.simplified().split(' ');
        if (cells.size() >= 4 && cells[0] == "1")
            EXPECT_LT(cells[3].toDouble(), -50.0) << line.toStdString();
        if (cells.size() >= 4 && cells[0] == "0")
            EXPECT_NEAR(cells[3].toDouble(), -12.0, 0.5) << line.toStdString();
    }
}

TEST_F(TevoTags, CommandsWriteCarryAndNumberTags)
{
    REQUIRE_TOOLS("ffprobe");
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
