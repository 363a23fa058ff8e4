// The stats, regions and level commands on files written by sox, checked against sox's own measurements and
// against the material's known levels; `tevo level --target` and `tevo stats` on speech-like recordings made by
// bench/loudness/make_recordings.py, measured by ffmpeg's ebur128 filter through bench/loudness/evaluate.py: the goals
// of loudness delivery.

#include "TestUtil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using namespace TestUtil;

namespace {

using Result = TestUtil::TevoRun;
const auto tevo = [](const QStringList& args) { return TestUtil::runTevo(args); };

/// "NAME   -12.34 dB" lines of tevo stats.
std::map<QString, double> tevoFigures(const QString& text)
{
    std::map<QString, double> figures;
    const QRegularExpression line("^(\\w+(?: \\w+)?)\\s+(-?[0-9.]+) dB$", QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        figures[m.captured(1)] = m.captured(2).toDouble();
    }
    return figures;
}

/// Left-channel power in dB between two times.
double rmsDb(const std::vector<double>& s, double from, double to, unsigned rate)
{
    return powerDb(s, 0, size_t(from * rate), size_t(to * rate));
}

class DynamicsCommands : public testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TEVO();
        REQUIRE_TOOLS("sox");
        ASSERT_TRUE(dir.isValid());
        // Four stretches of 8 s at 44.1 kHz, RMS -23, -43, -13 and -73 dB (sines 3 dB below their peak).
        steps = path("steps.wav");
        ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 16 '" + steps + "' synth 8 sine 440 gain -20 : synth 8 sine 440 "
                                                                             "gain -40 : synth 8 sine 440 gain -10 : synth 8 sine 440 gain -70"),
                  0);
    }
    std::string path(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }
    static QString q(const std::string& s) { return QString::fromStdString(s); }

    /// `tevo level steps NAME --level -23 --format float32 EXTRA`: its result and the samples written.
    std::vector<double> levelled(const std::string& name, const QStringList& extra, Result* result = nullptr)
    {
        const Result r = tevo(QStringList{"level", q(steps), q(path(name)), "--level", "-23", "--format", "float32",
                                          "--no-estimate-noise"}
                              + extra);
        EXPECT_EQ(r.exitCode, 0) << qPrintable(r.err);
        if (result != nullptr)
            *result = r;
        return TestUtil::soxReadStereo(path(name));
    }

    QTemporaryDir dir;
    std::string steps;
};

} // namespace

TEST_F(DynamicsCommands, StatsAgreeWithSox)
{
    // Different levels and a DC offset on the two channels.
    const std::string in = path("pair.wav");
    ASSERT_EQ(TestUtil::run("sox -V1 -n -r 48000 -b 24 '" + in
                            + "' synth 3 sine 300 sine 1250 remix 1v0.7 2v0.2 dcshift 0.05"),
              0);
    const Result r = tevo({"stats", q(in)});
    ASSERT_EQ(r.exitCode, 0) << qPrintable(r.err);
    std::map<QString, double> f = tevoFigures(r.out);
    ASSERT_EQ(f.size(), 5u) << qPrintable(r.out);

    const std::vector<double> rms = soxStats(in, "RMS lev dB"), peak = soxStats(in, "Pk lev dB");
    ASSERT_EQ(rms.size(), 3u);
    ASSERT_EQ(peak.size(), 3u);
    const std::pair<const char*, double> pairs[] = {
        {"RMS", rms[0]}, {"RMS left", rms[1]}, {"RMS right", rms[2]}, {"Peak left", peak[1]}, {"Peak right", peak[2]}};
    for (const auto& [name, soxDb] : pairs)
        EXPECT_NEAR(f[name], soxDb, 0.006) << name << " (sox prints two decimals)";
}

TEST_F(DynamicsCommands, RegionsAsJsonAndAsReport)
{
    const Result json = tevo({"regions", q(steps), "--min", "2", "--json"});
    ASSERT_EQ(json.exitCode, 0) << qPrintable(json.err);
    const QJsonObject root = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(root["sampleRate"].toInt(), 44100);
    EXPECT_DOUBLE_EQ(root["noiseLevelDb"].toDouble(), -40.0);
    const QJsonArray regions = root["regions"].toArray();
    ASSERT_GE(regions.size(), 5);
    const double expected[] = {-23.0, -43.0, -13.0};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(testing::Message() << "region " << i);
        const QJsonObject r = regions[i].toObject();
        EXPECT_NEAR(r["startSeconds"].toDouble(), 8.0 * i, 0.2);
        EXPECT_NEAR(r["start"].toDouble() / 44100, r["startSeconds"].toDouble(), 1e-9);
        EXPECT_NEAR(r["powerLeftDb"].toDouble(), expected[i], 0.5);
        EXPECT_FALSE(r["noise"].toBool());
    }
    const QJsonObject last = regions.last().toObject();
    EXPECT_TRUE(last["noise"].toBool());
    EXPECT_NEAR(last["startSeconds"].toDouble() + last["lengthSeconds"].toDouble(), 32.0, 0.1);

    const Result merged = tevo({"regions", q(steps), "--min", "2", "--merge"});
    ASSERT_EQ(merged.exitCode, 0) << qPrintable(merged.err);
    EXPECT_TRUE(merged.out.startsWith("2 regions\nNoise level :-40.00 dB\n")) << qPrintable(merged.out);
    // The -73 dB stretch measures about -42 dB (its region starts with the look-ahead into the
    // loud one before): signal, so all of it merges, up to the end of the input and no further.
    EXPECT_TRUE(merged.out.contains("[Thread 0] 00:00:00.000 (00:00:32.000)")) << qPrintable(merged.out);

    const Result bad = tevo({"regions", q(steps), "--step", "-3"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.err.contains("--step")) << qPrintable(bad.err);
    EXPECT_TRUE(bad.out.isEmpty());
    const Result badLevel = tevo({"level", q(path("missing.wav")), q(path("never.wav")), "--compress", "0.5"});
    EXPECT_EQ(badLevel.exitCode, 2) << "checked before the input is opened";
    EXPECT_TRUE(badLevel.err.contains("--compress")) << qPrintable(badLevel.err);
    EXPECT_EQ(tevo({"level", q(path("missing.wav")), q(path("never.wav"))}).exitCode, 1);
    EXPECT_FALSE(QFile::exists(q(path("never.wav"))));
}

TEST_F(DynamicsCommands, LevelBringsEveryPassageToTheTarget)
{
    unsigned rate = 0;
    const std::vector<double> in = TestUtil::soxReadStereo(steps, &rate);
    Result r;
    const std::vector<double> out = levelled("levelled.wav", {}, &r);
    EXPECT_FALSE(r.err.contains("Amp=")) << "gain messages only with --verbose";
    ASSERT_EQ(out.size(), in.size());
    // After each step and its ramp. The -43 dB region measures -42.5 dB: the start of its window
    // still held some of the stretch before.
    EXPECT_NEAR(rmsDb(out, 1, 7.5, rate), -23.0, 0.3);
    EXPECT_NEAR(rmsDb(out, 9, 15.5, rate), -23.0, 0.6);
    EXPECT_NEAR(rmsDb(out, 17, 23.5, rate), -23.0, 0.3);

    // The gate works on the levelled signal and the output stays aligned with the input: the -73 dB
    // passage (levelled to about -50 dB) is silenced, the rest is the same as without the gate
    // (away from the steps, where the gain ramps restart at block starts that the gate moves).
    const std::vector<double> gated = levelled("gated.wav", {"--gate", "-45", "--verbose"}, &r);
    EXPECT_TRUE(r.err.contains("Amp=")) << qPrintable(r.err);
    ASSERT_EQ(gated.size(), in.size());
    double worst = 0;
    for (size_t k = 2 * rate; k < 22 * size_t(rate); ++k)
        if (std::fabs(double(k) / rate - 8.0) > 0.5 && std::fabs(double(k) / rate - 16.0) > 0.5)
            worst = std::max(worst, std::fabs(gated[2 * k] - out[2 * k]));
    EXPECT_LT(worst, 1e-6);
    EXPECT_LT(rmsDb(gated, 26, 31, rate), -120.0);
    EXPECT_GT(rmsDb(out, 26, 31, rate), -60.0);

    // A start point and a range (in seconds of the input) cut the same levelled material; the
    // first region, 1 s to 8 s, is long enough to stand alone.
    const std::vector<double> part = levelled("part.wav", {"--start", "1", "--range", "10,12"});
    ASSERT_EQ(part.size(), 2u * 2 * rate);
    EXPECT_NEAR(rmsDb(part, 0, 2, rate), -23.0, 0.6);
    double partWorst = 0;
    for (size_t k = 0; k < 2 * size_t(rate); ++k)
        partWorst = std::max(partWorst, std::fabs(part[2 * k] - out[2 * (k + 10 * size_t(rate))]));
    // The gains differ by rounding (the first region now starts at 1 s); one frame of
    // misalignment would show as 6e-3 on this 440 Hz sine.
    EXPECT_LT(partWorst, 1e-4);
}

namespace {

// Not __FILE__: a compiler cache with a base folder makes it relative.
const std::string kSource = TEVO_SOURCE_DIR;

std::map<std::string, double> evaluate(const std::string& out, const std::string& sections)
{
    std::string text;
    TestUtil::run("/usr/bin/python3 '" + kSource + "/bench/loudness/evaluate.py' '" + out + "' '" + sections
                      + "' -16",
                  &text);
    std::map<std::string, double> figures;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos)
            figures[word.substr(0, eq)] = std::stod(word.substr(eq + 1));
    }
    return figures;
}

class LoudnessCommands : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (TestUtil::tevoPath().empty() || !TestUtil::haveTool("ffmpeg")
            || TestUtil::run("/usr/bin/python3 -c 'import scipy' 2>/dev/null") != 0)
            return;
        dir = new QTemporaryDir();
        const QString d = dir->path();
        TestUtil::runTevo({"demo", "--synth-only", d});
        QFile::rename(QDir(d).filePath("recording.wav"), QDir(d).filePath("demo.wav"));
        QFile sections(QDir(d).filePath("demo.sections"));
        sections.open(QIODevice::WriteOnly);
        sections.write("0.3 12.5 speech\n12.5 25 speech\n25 37.5 speech\n37.5 50 speech\n");
        sections.close();
        ready = TestUtil::run("/usr/bin/python3 '" + kSource + "/bench/loudness/make_recordings.py' '"
                              + d.toStdString() + "' --no-long")
            == 0;
        const std::string talkers = QDir(d).filePath("talkers").toStdString();
        ready = ready
            && TestUtil::run("sox '" + talkers + ".wav' '" + talkers + "-mono.wav' remix 1 && cp '" + talkers
                             + ".sections' '" + talkers + "-mono.sections'")
                == 0;
    }
    static void TearDownTestSuite()
    {
        delete dir;
        dir = nullptr;
    }
    void SetUp() override
    {
        if (!ready)
            GTEST_SKIP() << "needs tevo, ffmpeg and scipy";
    }
    static std::string path(const std::string& name) { return QDir(dir->path()).filePath(QString::fromStdString(name)).toStdString(); }
    static QString q(const std::string& s) { return QString::fromStdString(s); }

    static QTemporaryDir* dir;
    static bool ready;
};

QTemporaryDir* LoudnessCommands::dir = nullptr;
bool LoudnessCommands::ready = false;

} // namespace

TEST_F(LoudnessCommands, LevelMeetsTheDeliveryGoalsOnSpeechLikeRecordings)
{
    const struct {
        const char* name;
        QStringList options;
        bool sectionGoals; ///< the band amplifiers cap their gains at 20 dB
    } cases[] = {
        {"demo", {}, true},
        {"talkers", {}, true},
        {"lecture", {}, true},
        {"music", {}, true},
        // Measured as dual mono, as ffmpeg's dualmono option does.
        {"talkers-mono", {}, true},
        // Every band levelled and limited, the sum under the final limiter.
        {"talkers", {"--multiband", "300,3000", "--biquad"}, false},
        {"demo", {"--multiband", "300,3000", "--fft", "--attack", "0.002"}, false},
    };
    for (const auto& c : cases) {
        const std::string name = c.name;
        SCOPED_TRACE(name + " " + c.options.join(' ').toStdString());
        const std::string out = path(name + "-levelled.wav");
        // A bare --target means -16 LUFS.
        const auto r = TestUtil::runTevo(QStringList{"level", "-y", q(path(name + ".wav")), q(out), "--target"} + c.options);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains("for -16.00 LUFS")) << r.out.toStdString();
        auto f = evaluate(out, path(name + ".sections"));
        ASSERT_TRUE(f.count("I")) << "ffmpeg could not measure the output";
        EXPECT_NEAR(f["I"], -16.0, 0.5);
        EXPECT_LE(f["TP"], -1.0);
        if (c.sectionGoals) {
            EXPECT_LE(std::fabs(f["worst"]), 2.0) << "every section within 2 LU of the target";
            EXPECT_LE(f["pause"], -50.0) << "pauses stay quiet";
        }
        // What tevo prints is what ffmpeg measures (ffmpeg prints 1 decimal).
        EXPECT_NEAR(captured(r.out, "Output: integrated (-?[0-9.]+) LUFS"), f["I"], 0.15);
        EXPECT_NEAR(captured(r.out, "Output: .*true peak (-?[0-9.]+) dBTP"), f["TP"], 0.25);
        EXPECT_TRUE(r.out.contains("frames lowered")) << r.out.toStdString();
    }
}

TEST_F(LoudnessCommands, StatsPlotsAndTheCeilingLeftOut)
{
    const std::string in = path("talkers.wav");
    const auto stats = TestUtil::runTevo({"stats", q(in), "--plot", q(path("stats.svg"))});
    ASSERT_EQ(stats.exitCode, 0) << stats.err.toStdString();
    const Loudness ffmpeg = ffmpegLoudness(in);
    EXPECT_NEAR(captured(stats.out, "Integrated\\s+(-?[0-9.]+) LUFS"), ffmpeg.integrated, 0.1);
    EXPECT_NEAR(captured(stats.out, "Loudness range\\s+(-?[0-9.]+) LU"), ffmpeg.range, 0.15);
    EXPECT_NEAR(captured(stats.out, "True peak\\s+(-?[0-9.]+) dBTP"), ffmpeg.truePeak, 0.2);
    QFile svg(q(path("stats.svg")));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    EXPECT_TRUE(svg.readAll().contains("<svg"));

    // Without the limiter a loud target clips, and tevo says so; the plot of
    // a levelling is a PNG.
    const auto loud = TestUtil::runTevo({"level", q(path("music.wav")), q(path("loud.wav")), "--target", "-8",
                                         "--no-limit", "--plot", q(path("level.png"))});
    ASSERT_EQ(loud.exitCode, 0) << loud.err.toStdString();
    EXPECT_TRUE(loud.err.contains("clips")) << loud.err.toStdString();
    EXPECT_FALSE(loud.out.contains("frames lowered"));
    QFile png(q(path("level.png")));
    ASSERT_TRUE(png.open(QIODevice::ReadOnly));
    EXPECT_TRUE(png.read(8).startsWith("\x89PNG"));
}

TEST_F(LoudnessCommands, BadOptionsAreRefusedBeforeReading)
{
    const QString out = q(path("never.wav"));
    const QStringList bad[] = {
        {"--limit", "loud"},
        {"--limit", "0", "--attack", "-1"},
        {"--no-limit", "--attack", "0.01"},
        {"--no-limit", "--true-peak", "-2"},
        {"--no-limit", "--limit", "3"},
        {"--true-peak", "3"},
        {"--target", "loud"},
        {"--target", "-16", "--limit", "3"},
        {"--plot", "picture.txt"},
        {"--step", "0"},
        {"--estimate-noise", "--no-estimate-noise"},
        {"--multiband", "2000,200"},
        {"--multiband", "200,x"},
        {"--multiband", "30000"},
        {"--fft"},
        {"--multiband", "200", "--fft", "100"},
        {"--multiband", "200", "--fft", "--biquad"},
        {"--multiband", "200", "--ramp", "0.2"},
        {"--multiband", "200", "--fft", "--level", "0"},
    };
    for (const QStringList& options : bad) {
        SCOPED_TRACE(options.join(' ').toStdString());
        const auto r = TestUtil::runTevo(QStringList{"level", "-y", q(path("talkers.wav")), out} + options);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_FALSE(r.err.isEmpty());
        EXPECT_FALSE(QFile::exists(out));
    }
}
