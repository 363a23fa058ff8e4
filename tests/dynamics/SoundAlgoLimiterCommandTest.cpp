// `tevo level` with a final limiter and with multiband levelling, on noise
// written by sox; the results are decoded by sox, not by the library.
#include "TestUtil.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using Result = TestUtil::TevoRun;

Result tevo(const QStringList& args)
{
    return TestUtil::runTevo(args);
}

double peakOf(const std::vector<double>& samples)
{
    double peak = 0.0;
    for (double v : samples)
        peak = std::max(peak, std::fabs(v));
    return peak;
}

double rmsDbOf(const std::vector<double>& samples)
{
    double sum = 0.0;
    for (double v : samples)
        sum += v * v;
    return 10.0 * std::log10(sum / double(samples.size()));
}

class LevelLimitCommand : public testing::Test {
protected:
    void SetUp() override
    {
        if (TestUtil::tevoPath().empty() || !TestUtil::haveTool("sox"))
            GTEST_SKIP() << "needs tevo and sox";
        ASSERT_TRUE(dir.isValid());
        // Pink noise about 25 dB below full scale, levelled to -10 dB.
        input = path("in.wav");
        ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 16 '" + input.toStdString()
                                + "' synth 6 pinknoise gain -12 2>&1"),
                  0);
    }

    QString path(const char* name) const { return QDir(dir.path()).filePath(name); }

    QTemporaryDir dir;
    QString input;
};

} // namespace

TEST_F(LevelLimitCommand, OutputsStayUnderTheCeilingWithMakeUpGain)
{
    const std::vector<double> in = TestUtil::soxReadStereo(input.toStdString());
    struct Case {
        const char* name;
        QStringList options;
    };
    // A make-up gain of 12 dB over a -10 dB target drives the material 2 dB
    // over full scale on average: the limiter has work on nearly every peak.
    const Case cases[] = {
        {"single band", {"--level", "-10", "--limit", "12"}},
        {"crossover bands", {"--level", "-10", "--limit", "12", "--multiband", "300,3000", "--biquad"}},
        {"FFT bands", {"--level", "-10", "--limit", "12", "--multiband", "300,3000", "--fft", "--attack", "0.002"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString out = path("out.wav");
        const Result r = tevo(QStringList{"level", input, out, "-y"} + c.options);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const std::vector<double> samples = TestUtil::soxReadStereo(out.toStdString());
        ASSERT_FALSE(samples.empty());
        // 16-bit output: the 0.981 ceiling plus one quantisation step.
        EXPECT_LE(peakOf(samples), 0.981 + 1.0 / 32768);
        EXPECT_GT(rmsDbOf(samples), rmsDbOf(in) + 3.0) << "the make-up gain should raise the level";
        EXPECT_NEAR(double(samples.size()), double(in.size()), 2.0 * 0.01 * 44100) << "length within 10 ms";
    }
}

TEST_F(LevelLimitCommand, BadOptionsAreRefusedBeforeReading)
{
    const QString out = path("never.wav");
    const QStringList bad[] = {
        {"--limit", "loud"},
        {"--limit", "0", "--attack", "-1"},
        {"--attack", "0.01"},
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
        const Result r = tevo(QStringList{"level", input, out} + options);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_FALSE(r.err.isEmpty());
        EXPECT_FALSE(QFile::exists(out));
    }
}
