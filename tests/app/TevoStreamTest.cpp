// tevo gives back the stream it was given: same length, lined up, nothing lost or invented, and refuses what
// selects nothing. Files made by sox, ffmpeg and lame; lengths and positions read back with sox.
#include "TestUtil.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace TestUtil;

namespace {

class TevoStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(TestUtil::haveTool("sox"));
    }
    QString path(const char* name) const { return dir.filePath(name); }
    std::string p(const char* name) const { return path(name).toStdString(); }
    void sox(const std::string& args) { ASSERT_EQ(TestUtil::run("sox -V1 " + args), 0) << args; }
    /// Frames of a file as sox reads them.
    size_t frames(const char* name) const { return TestUtil::soxReadStereo(p(name)).size() / 2; }
    /// Keeps the first `bytes` bytes of `from` in `to` (a file cut off).
    void cut(const char* from, const char* to, qint64 bytes)
    {
        QFile in(path(from)), out(path(to));
        ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        out.write(in.read(bytes));
    }

    QTemporaryDir dir;
};

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
