// The filter options of `tevo process`: bad values are refused before any
// file is touched, and the filtered files agree with sox running the same
// cookbook designs, and with the analytic responses of the first-order and
// A-weighting filters.
#include "TestUtil.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Outcome = TestUtil::TevoRun;

Outcome tevo(const QStringList& args)
{
    return TestUtil::runTevo(args);
}

class TevoFilterOptions : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (TestUtil::tevoPath().empty())
            GTEST_SKIP() << "tevo is not built";
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(TestUtil::haveTool("sox")) << "sox is the independent reference";
    }
    std::string path(const char* name) const { return dir.filePath(name).toStdString(); }
    QString qpath(const char* name) const { return dir.filePath(name); }

    /// Level of a tone of `freq` Hz in the left channel of a float file,
    /// measured over its second second (a whole number of periods).
    double toneDb(const std::string& file, double freq, unsigned rate)
    {
        const auto s = TestUtil::soxReadStereo(file);
        long double ss = 0, sc = 0;
        for (std::size_t t = rate; t < 2u * rate && 2 * t < s.size(); ++t) {
            ss += s[2 * t] * std::sin(2 * M_PI * freq * t / rate);
            sc += s[2 * t] * std::cos(2 * M_PI * freq * t / rate);
        }
        return 20 * std::log10(double(2 * std::sqrt(ss * ss + sc * sc) / rate));
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(TevoFilterOptions, BadValuesExitWithUsageBeforeReading)
{
    // The input does not exist: exit code 2, not the 1 of a failed open,
    // shows that nothing was read.
    const QString missing = qpath("missing.wav");
    const QStringList bad[] = {{"--eq", "notch:1000:1:0"},  {"--eq", "peak:0:1:3"},     {"--eq", "peak:-5:1:3"},
                               {"--eq", "peak:abc:1:3"},    {"--eq", "peak:1000:x:3"},  {"--eq", "peak:1000:1:loud"},
                               {"--eq", "peak"},            {"--eq", "peak:1000:0:3"},  {"--lowpass1", "0"},
                               {"--highpass1", "abc"},      {"--lowpass1", "-20"}};
    for (const QStringList& option : bad) {
        SCOPED_TRACE(option.join(' ').toStdString());
        const Outcome r = tevo(QStringList{"process", missing, qpath("out.wav")} + option);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_FALSE(r.err.trimmed().isEmpty());
        EXPECT_FALSE(r.err.contains("missing.wav")) << r.err.toStdString();
    }
}

TEST_F(TevoFilterOptions, EqualiserMatchesSox)
{
    // Three seconds of white noise at -20 dBFS, so that no stage clips.
    ASSERT_EQ(TestUtil::run("sox -V1 -R -n -r 44100 -c 2 -b 16 '" + path("in.wav") + "' synth 3 whitenoise vol 0.1"), 0);
    // Every section type once; sox's bass and treble are the slope-form
    // shelves, its bandpass (without -c) the constant 0 dB peak form.
    const Outcome r = tevo({"process", qpath("in.wav"), qpath("tevo.wav"), "--format", "float32", "--eq",
                            "peak:1000:1:6", "--eq", "highpass:120:1.5:0", "--eq", "lowshelf:300:1:-4", "--eq",
                            "bandpass:4000:4:0", "--eq", "highshelf:3000:0.7:5", "--eq", "lowpass:12000:1:0"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_EQ(TestUtil::run("sox -V1 '" + path("in.wav") + "' -e floating-point -b 32 '" + path("sox.wav")
                            + "' equalizer 1000 1o 6 highpass 120 1.5o bass -4 300 1s bandpass 4000 4o"
                              " treble 5 3000 0.7s lowpass 12000 1o"),
              0);
    const auto ours = TestUtil::soxReadStereo(path("tevo.wav"));
    const auto theirs = TestUtil::soxReadStereo(path("sox.wav"));
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
    ASSERT_EQ(TestUtil::run("sox -V1 -n -r 48000 -c 2 -e floating-point -b 32 '" + path("sine.wav")
                            + "' synth 2 sine 1000 vol 0.5"),
              0);
    const std::pair<QStringList, double> cases[] = {
        {{"--lowpass1", "1000"}, -3.0103}, {{"--highpass1", "1000"}, -3.0103}, {{"--aweight"}, 0.005}};
    for (const auto& [options, wantDb] : cases) {
        SCOPED_TRACE(options.join(' ').toStdString());
        const Outcome r = tevo(QStringList{"process", qpath("sine.wav"), qpath("out.wav"), "--format", "float32", "-y"} + options);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_NEAR(toneDb(path("out.wav"), 1000, rate) - 20 * std::log10(0.5), wantDb, 0.01);
    }
}
