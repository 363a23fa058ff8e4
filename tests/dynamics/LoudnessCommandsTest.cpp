// `tevo level --target` and `tevo stats` on speech-like recordings made by
// bench/loudness/make_recordings.py, measured by ffmpeg's ebur128 filter
// through bench/loudness/evaluate.py: the goals of loudness delivery.
#include "TestUtil.h"

#include <QRegularExpression>

using namespace TestUtil;

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

double printed(const QString& text, const char* pattern)
{
    const auto m = QRegularExpression(pattern).match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : NAN;
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
        EXPECT_NEAR(printed(r.out, "Output: integrated (-?[0-9.]+) LUFS"), f["I"], 0.15);
        EXPECT_NEAR(printed(r.out, "Output: .*true peak (-?[0-9.]+) dBTP"), f["TP"], 0.25);
        EXPECT_TRUE(r.out.contains("frames lowered")) << r.out.toStdString();
    }
}

TEST_F(LoudnessCommands, StatsPlotsAndTheCeilingLeftOut)
{
    const std::string in = path("talkers.wav");
    const auto stats = TestUtil::runTevo({"stats", q(in), "--plot", q(path("stats.svg"))});
    ASSERT_EQ(stats.exitCode, 0) << stats.err.toStdString();
    std::string ffmpeg;
    TestUtil::run("ffmpeg -nostats -hide_banner -i '" + in + "' -af ebur128=peak=true -f null - 2>&1", &ffmpeg);
    const QString summary = q(ffmpeg.substr(std::min(ffmpeg.size(), ffmpeg.rfind("Summary:"))));
    EXPECT_NEAR(printed(stats.out, "Integrated\\s+(-?[0-9.]+) LUFS"), printed(summary, "I:\\s+(-?[0-9.]+) LUFS"),
                0.1);
    EXPECT_NEAR(printed(stats.out, "Loudness range\\s+(-?[0-9.]+) LU"), printed(summary, "LRA:\\s+(-?[0-9.]+) LU"),
                0.15);
    EXPECT_NEAR(printed(stats.out, "True peak\\s+(-?[0-9.]+) dBTP"),
                printed(summary, "True peak:\\s+Peak:\\s+(-?[0-9.]+)"), 0.2);
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
