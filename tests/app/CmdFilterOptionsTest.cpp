// The filter options of `tevo process`: bad values are refused before any
// file is touched, and the filtered files agree with sox running the same
// cookbook designs, and with the analytic responses of the first-order and
// A-weighting filters.
#include "TestUtil.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace TestUtil;

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
        REQUIRE_TEVO();
        ASSERT_TRUE(dir.isValid());
        REQUIRE_TOOLS("sox");
    }
    std::string path(const char* name) const { return dir.filePath(name).toStdString(); }
    QString qpath(const char* name) const { return dir.filePath(name); }

    /// Level of a tone of `freq` Hz in the left channel of a file, over its second second (whole periods).
    static double toneDb(const std::string& file, double freq, unsigned rate)
    {
        return toDb(toneAmplitude(soxReadStereo(file), freq, rate, rate, 2 * rate));
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(TevoFilterOptions, BadValuesExitWithUsageBeforeReading)
{
    // The input does not exist: exit code 2, not the 1 of a failed open,
    // shows that nothing was read.
    const QString missing = qpath("missing.wav");
    const QStringList bad[] = {{"--eq", "notch:1000:1:0"}, {"--eq", "peak:0:1:3"}, {"--eq", "peak:-5:1:3"}, {"--eq", "peak:abc:1:3"}, {"--eq", "peak:1000:x:3"}, {"--eq", "peak:1000:1:loud"}, {"--eq", "peak"}, {"--eq", "peak:1000:0:3"}, {"--lowpass1", "0"}, {"--highpass1", "abc"}, {"--lowpass1", "-20"}};
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
        FILE* raw = std::fopen(path("in.f64").c_str(), "wb");
        ASSERT_NE(raw, nullptr);
        ASSERT_EQ(std::fwrite(s.data(), sizeof(double), s.size(), raw), s.size());
        std::fclose(raw);
        ASSERT_EQ(TestUtil::run("sox -V1 -t f64 -r 44100 -c 2 '" + path("in.f64") + "' -e floating-point -b 32 '"
                                + path("in.wav") + "'"),
                  0);
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
        const Outcome r = tevo(QStringList{"process", "-y", qpath("in.wav"), qpath("out.wav"), "--format", "float32"}
                               + row.options);
        if (row.refusal != nullptr) {
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_TRUE(r.err.contains(row.refusal)) << r.err.toStdString();
            continue;
        }
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        for (double f : row.passHz)
            EXPECT_NEAR(toneDb(path("out.wav"), f, rate), -30.0, 1.0) << f << " Hz";
        for (double f : row.cutHz)
            EXPECT_LT(toneDb(path("out.wav"), f, rate), -60.0) << f << " Hz";
    }

    // Without a width a low-pass is Butterworth: -3 dB at the corner, no
    // resonance below it (sox's default low-pass is the same Q 0.707).
    ASSERT_EQ(tevo({"process", qpath("in.wav"), qpath("bw.wav"), "--format", "float32", "--eq", "lowpass:1000"})
                  .exitCode,
              0);
    EXPECT_NEAR(toneDb(path("bw.wav"), 1000, rate), -33.01, 0.05);
    EXPECT_NEAR(toneDb(path("bw.wav"), 300, rate), -30.0, 0.05);
    ASSERT_EQ(TestUtil::run("sox -V1 '" + path("in.wav") + "' '" + path("sox.wav") + "' lowpass 1000"), 0);
    EXPECT_NEAR(toneDb(path("bw.wav"), 3000, rate), toneDb(path("sox.wav"), 3000, rate), 0.05);

    // The band filters of `tevo bands`: a 50 Hz tone stays in the lowest band.
    ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 -b 24 '" + path("tone.wav") + "' synth 3 sine 50 gain -9"), 0);
    const Outcome bands = tevo({"bands", qpath("tone.wav"), "--crossovers", "200,2000"});
    ASSERT_EQ(bands.exitCode, 0) << bands.err.toStdString();
    for (const QString& line : bands.out.split('\n')) {
        const QStringList cells = line.simplified().split(' ');
        if (cells.size() >= 4 && cells[0] == "1")
            EXPECT_LT(cells[3].toDouble(), -50.0) << line.toStdString();
        if (cells.size() >= 4 && cells[0] == "0")
            EXPECT_NEAR(cells[3].toDouble(), -12.0, 0.5) << line.toStdString();
    }
}
