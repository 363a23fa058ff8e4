// Batches of tevo: several inputs, -o DIR, -j N. Every output of a batch must
// be the very file a single run writes, whatever else fails or stops.
#include "TestUtil.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <map>

using namespace TestUtil;

namespace {

class TevoBatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TEVO();
        REQUIRE_TOOLS("sox");
        ASSERT_TRUE(dir.isValid());
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    /// `seconds` of a two-tone pair, a pause, the pair again 12 dB lower:
    /// regions to level and passages to split, different per `n`.
    QString make(const QString& name, int n, double seconds = 2)
    {
        const std::string f = path(name).toStdString(), tmp = path("tmp-").toStdString(), s = std::to_string(seconds);
        const std::string sox = "sox -V1 -n -r 44100 -c 2 -b 16 " + tmp;
        EXPECT_EQ(run(sox + "a.wav synth " + s + " sine " + std::to_string(300 + 110 * n) + " sine 1000 gain -9 && " + sox
                      + "p.wav trim 0 1 && sox -V1 " + tmp + "a.wav " + tmp + "q.wav gain -12 && sox -V1 " + tmp
                      + "a.wav " + tmp + "p.wav " + tmp + "q.wav '" + f + "' && rm " + tmp + "*"),
                  0);
        return path(name);
    }
    /// The outputs the single-file command writes, as references.
    QByteArray single(const QStringList& args)
    {
        const TevoRun r = runTevo(args);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return fileBytes(args.at(2));
    }
    /// Every name in `folder`, hidden ones (temporary files) included.
    static QStringList listing(const QString& folder)
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
    /// The --json lines by input name; every line must parse.
    static std::map<QString, QJsonObject> lines(const QString& out)
    {
        std::map<QString, QJsonObject> byFile;
        for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
            QJsonParseError error;
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8(), &error).object();
            EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
            byFile[QFileInfo(object["file"].toString()).fileName()] = object;
        }
        return byFile;
    }

    QTemporaryDir dir;
};

// A file that cannot be read fails on its own line; the others are written,
// each byte for byte what a single run writes, and nothing else is left.
TEST_F(TevoBatch, FailedFileAmongGoodOnesKeepsTheOthers)
{
    const QString a = make("a.wav", 1), b = make("b.wav", 2);
    QFile junk(path("junk.wav"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly) && junk.write("not a sound file") > 0);
    junk.close();
    const QByteArray wantA = single({"level", a, path("ref-a.wav"), "--target", "-18"});
    const QByteArray wantB = single({"level", b, path("ref-b.wav"), "--target", "-18"});

    const TevoRun r = runTevo({"level", "-j", "2", "-o", path("out"), a, junk.fileName(), b, "--target", "-18", "--json"});
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    const auto byFile = lines(r.out);
    ASSERT_EQ(byFile.size(), 3u) << r.out.toStdString();
    EXPECT_EQ(byFile.at("junk.wav")["status"].toString(), "failed");
    EXPECT_TRUE(byFile.at("junk.wav")["error"].toString().contains("junk.wav")) << r.out.toStdString();
    for (const char* name : {"a.wav", "b.wav"}) {
        SCOPED_TRACE(name);
        const QJsonObject line = byFile.at(name);
        EXPECT_EQ(line["status"].toString(), "ok");
        EXPECT_EQ(line["output"].toString(), QDir::cleanPath(path("out/") + name));
        // Loudness as the job measured it, against the target asked for.
        EXPECT_NEAR(line["result"].toObject()["result"].toObject()["integratedLufs"].toDouble(), -18.0, 0.5)
            << r.out.toStdString();
    }
    EXPECT_EQ(fileBytes(path("out/a.wav")), wantA);
    EXPECT_EQ(fileBytes(path("out/b.wav")), wantB);
    EXPECT_EQ(listing(path("out")), QStringList({"a.wav", "b.wav"}));
}

// Ctrl-C stops the batch: exit 3, no incomplete file under a final name;
// --skip-existing then does the rest, and the outputs are the single runs'.
TEST_F(TevoBatch, StoppedBatchResumesWithSkipExisting)
{
    QStringList inputs;
    std::map<QString, QByteArray> want;
    for (int n = 0; n < 4; ++n) {
        const QString name = QString("s%1.wav").arg(n);
        inputs << make(name, n, 10);
        want[name] = single({"level", inputs.last(), path("ref-" + name)});
    }
    const QStringList batch = QStringList({"level", "-j", "1", "-o", path("out")}) + inputs;

    QProcess process;
    process.start(QString::fromStdString(tevoPath()), batch);
    ASSERT_TRUE(process.waitForStarted());
    // Once the first file is done the second is running: stop there.
    while (!process.canReadLine() && process.state() == QProcess::Running)
        process.waitForReadyRead(100);
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(120000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 3) << err.toStdString();
    EXPECT_TRUE(err.contains("--skip-existing")) << err.toStdString();
    int complete = 0;
    for (const QString& name : listing(path("out"))) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(name.contains(".tevo-"));
        if (!name.contains(".partial")) {
            EXPECT_EQ(fileBytes(path("out/") + name), want[name]);
            ++complete;
        }
    }
    EXPECT_GE(complete, 1);
    EXPECT_LT(complete, 4);

    // Without --skip-existing or -y the batch is refused before anything runs.
    EXPECT_EQ(runTevo(batch).exitCode, 2);

    const TevoRun resumed = runTevo(batch + QStringList{"--skip-existing", "--json"});
    EXPECT_EQ(resumed.exitCode, 0) << resumed.err.toStdString();
    const auto byFile = lines(resumed.out);
    ASSERT_EQ(byFile.size(), 4u) << resumed.out.toStdString();
    int skipped = 0;
    for (const auto& [name, line] : byFile) {
        SCOPED_TRACE(name.toStdString());
        skipped += line["status"].toString() == "skipped";
        EXPECT_EQ(fileBytes(path("out/") + name), want[name]);
    }
    EXPECT_EQ(skipped, complete);
}

// -j 1 and -j 2 give the same files and figures; split makes one folder per
// input holding what a single split writes.
TEST_F(TevoBatch, ParallelRunsMatchOneByOne)
{
    const QStringList inputs = {make("a.wav", 1), make("b.wav", 2), make("c.wav", 3)};
    // Filters that plan FFTs and design FIRs while the other worker does too.
    const QStringList chain = {"--fft-eq", "lowpass:3000", "--fir", "highpass:200", "--eq", "peak:1000:1:6", "--type", "flac"};
    for (const char* jobs : {"1", "2"}) {
        const TevoRun r = runTevo(QStringList({"process", "-q", "-j", jobs, "-o", path(QString("p%1").arg(jobs))}) + chain + inputs);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.out.count("\nok ") + r.out.startsWith("ok "), 3) << r.out.toStdString();
    }
    for (const char* name : {"a.flac", "b.flac", "c.flac"})
        EXPECT_EQ(fileBytes(path("p1/") + name), fileBytes(path("p2/") + name)) << name;

    const TevoRun one = runTevo(QStringList({"stats", "--json", "-j", "1"}) + inputs);
    const TevoRun two = runTevo(QStringList({"stats", "--json", "-j", "2"}) + inputs);
    ASSERT_EQ(one.exitCode, 0) << one.err.toStdString();
    ASSERT_EQ(two.exitCode, 0) << two.err.toStdString();
    const auto statsOne = lines(one.out), statsTwo = lines(two.out);
    ASSERT_EQ(statsOne.size(), 3u);
    for (const auto& [name, line] : statsOne)
        EXPECT_EQ(line["result"], statsTwo.at(name)["result"]) << name.toStdString();

    const TevoRun split = runTevo(QStringList({"split", "-j", "2", "-o", path("parts"), "--min", "0.5"}) + inputs);
    ASSERT_EQ(split.exitCode, 0) << split.err.toStdString();
    EXPECT_EQ(listing(path("parts")), QStringList({"a", "b", "c"}));
    ASSERT_TRUE(QDir(dir.path()).mkpath("ref"));
    ASSERT_EQ(runTevo({"split", inputs[1], path("ref/b.wav"), "--min", "0.5"}).exitCode, 0);
    const QStringList parts = listing(path("ref"));
    EXPECT_TRUE(parts.contains("001-b.wav")) << parts.join(' ').toStdString();
    EXPECT_EQ(listing(path("parts/b")), parts);
    for (const QString& part : parts)
        EXPECT_EQ(fileBytes(path("parts/b/") + part), fileBytes(path("ref/") + part)) << part.toStdString();
}

// Refusals come before anything runs: two inputs that would write one name,
// an output that is an input, standard input among the inputs.
TEST_F(TevoBatch, NamesAreCheckedBeforeAnythingRuns)
{
    ASSERT_TRUE(QDir(dir.path()).mkpath("x"));
    const QString a = make("a.wav", 1), other = make("x/a.flac", 2);
    const struct {
        QStringList args;
        const char* message;
    } cases[] = {
        {{"process", "-o", path("out"), a, other, "--type", "wav"}, "would both write"},
        {{"level", "-o", dir.path(), a}, "would be an input file"},
        {{"stats", a, "-"}, "standard input"},
        {{"process", "-o", path("out"), "-j", "0", a}, "-j needs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const TevoRun r = runTevo(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(path("out")));
}

} // namespace
