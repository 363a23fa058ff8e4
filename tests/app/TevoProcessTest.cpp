// End-to-end tests of the tevo host: real files in, real files out, checked
// with sox as an independent reader.
#include "TestUtil.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

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
    QString path(const char* name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    QString input;
};

double maxAbsDiff(const std::vector<double>& a, const std::vector<double>& b, double scaleB = 1.0)
{
    double m = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        m = std::max(m, std::fabs(a[i] - scaleB * b[i]));
    return m;
}

} // namespace

TEST_F(TevoProcess, CopyGainAndFormatsMatchSox)
{
    const auto reference = TestUtil::soxReadStereo(input.toStdString());
    ASSERT_EQ(reference.size(), 2u * 88200);

    ASSERT_EQ(tevo({"process", input, path("copy.wav")}).exitCode, 0);
    auto copy = TestUtil::soxReadStereo(path("copy.wav").toStdString());
    ASSERT_EQ(copy.size(), reference.size());
    EXPECT_EQ(maxAbsDiff(copy, reference), 0.0) << "a 16-bit copy must be bit exact";

    // Gain: the result is the input times 10^(-6/20), within 16-bit rounding.
    ASSERT_EQ(tevo({"process", input, path("gain.flac"), "--gain", "-6"}).exitCode, 0);
    auto gained = TestUtil::soxReadStereo(path("gain.flac").toStdString());
    ASSERT_EQ(gained.size(), reference.size());
    EXPECT_LT(maxAbsDiff(gained, reference, std::pow(10.0, -6.0 / 20)), 1.0 / 32768 + 1e-9);

    // 24-bit and float outputs keep the samples within their resolution.
    ASSERT_EQ(tevo({"process", input, path("f.wav"), "--format", "float32"}).exitCode, 0);
    std::string bits;
    TestUtil::run("soxi -V1 -b '" + path("f.wav").toStdString() + "'", &bits);
    EXPECT_EQ(std::stoi(bits), 32);
    EXPECT_LT(maxAbsDiff(TestUtil::soxReadStereo(path("f.wav").toStdString()), reference), 1e-7);

    ASSERT_EQ(tevo({"process", input, path("o.ogg")}).exitCode, 0);
    EXPECT_EQ(TestUtil::soxReadStereo(path("o.ogg").toStdString()).size(), reference.size());
}

TEST_F(TevoProcess, StartAndRangeSelectTheRightFrames)
{
    const auto reference = TestUtil::soxReadStereo(input.toStdString());
    ASSERT_EQ(tevo({"process", input, path("range.wav"), "--range", "0.5", "1.25"}).exitCode, 0);
    auto range = TestUtil::soxReadStereo(path("range.wav").toStdString());
    ASSERT_EQ(range.size(), 2u * 33075);
    EXPECT_EQ(maxAbsDiff(range, std::vector<double>(reference.begin() + 2 * 22050, reference.end())), 0.0);

    ASSERT_EQ(tevo({"process", input, path("start.wav"), "--start", "1.5"}).exitCode, 0);
    auto start = TestUtil::soxReadStereo(path("start.wav").toStdString());
    ASSERT_EQ(start.size(), 2u * 22050);
    EXPECT_EQ(maxAbsDiff(start, std::vector<double>(reference.begin() + 2 * 66150, reference.end())), 0.0);
}

TEST_F(TevoProcess, InfoReportsTheFile)
{
    Result r = tevo({"info", input});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("44100 Hz"));
    EXPECT_TRUE(r.out.contains("88200"));
    EXPECT_TRUE(r.out.contains("00:00:02.000"));
    EXPECT_TRUE(r.out.contains("pcm16"));
}

TEST_F(TevoProcess, FailuresNameTheFileAndExitNonZero)
{
    Result missing = tevo({"process", path("nope.wav"), path("x.wav")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains(path("nope.wav"))) << missing.err.toStdString();

    const QString notAudio = path("text.wav");
    QFile f(notAudio);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("this is not a sound file at all, just some text\n");
    f.close();
    Result garbage = tevo({"info", notAudio});
    EXPECT_EQ(garbage.exitCode, 1);
    EXPECT_TRUE(garbage.err.contains(notAudio));

    Result noFolder = tevo({"process", input, path("missing/dir/out.wav")});
    EXPECT_EQ(noFolder.exitCode, 1);
    EXPECT_TRUE(noFolder.err.contains("missing/dir/out.wav")) << noFolder.err.toStdString();

    // A full disk must not be reported as success.
    Result devFull = tevo({"process", input, "/dev/full"});
    EXPECT_NE(devFull.exitCode, 0) << devFull.err.toStdString();
}

TEST_F(TevoProcess, BadOptionValuesExitWithUsageCode)
{
    EXPECT_EQ(tevo({"process", input, path("x.wav"), "--format", "pcm12"}).exitCode, 2);
    EXPECT_EQ(tevo({"process", input, path("x.wav"), "--gain", "loud"}).exitCode, 2);
    EXPECT_EQ(tevo({"process", input, path("x.wav"), "--range", "2", "1"}).exitCode, 2);
    EXPECT_EQ(tevo({"process", input}).exitCode, 2);
    EXPECT_EQ(tevo({"frobnicate"}).exitCode, 2);
    EXPECT_FALSE(QFile::exists(path("x.wav"))) << "nothing may be written on a usage error";
}

TEST_F(TevoProcess, InterruptStopsTheRunAndSaysSo)
{
    // A long input and small blocks so the run is still going when SIGINT arrives.
    const QString longInput = path("long.wav");
    ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -b 16 -c 2 '" + longInput.toStdString() + "' synth 600 sine 440"), 0);
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QString::fromStdString(TestUtil::tevoPath()),
                  {"process", longInput, path("long-out.flac")});
    ASSERT_TRUE(process.waitForStarted());
    QThread::msleep(400);
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(60000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 3) << err.toStdString();
    EXPECT_TRUE(err.contains("stopped")) << err.toStdString();
}

TEST_F(TevoProcess, TruncatedCompressedInputFailsInsteadOfEndingEarly)
{
    // A FLAC and an Ogg file cut in the middle decode quietly up to the cut;
    // the run must fail rather than write a shorter file and report success.
    for (const char* ext : {"flac", "ogg"}) {
        SCOPED_TRACE(ext);
        const QString whole = path((std::string("whole.") + ext).c_str());
        const QString cut = path((std::string("cut.") + ext).c_str());
        ASSERT_EQ(TestUtil::run("sox -V1 -n -r 44100 -c 2 '" + whole.toStdString() + "' synth 20 pinknoise"), 0);
        QFile in(whole);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        const QByteArray bytes = in.readAll();
        QFile out(cut);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes.left(bytes.size() / 2));
        out.close();
        EXPECT_EQ(tevo({"process", whole, path("ok.wav"), "-y"}).exitCode, 0);
        Result r = tevo({"process", cut, path("cut.wav")});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(cut) && r.err.contains("ends early")) << r.err.toStdString();
    }
}
