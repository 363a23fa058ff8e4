#include "TestNodes.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterMultiFile.h"

#include <random>

using namespace TestUtil;

using Region = RMSStepDetector::Region;

namespace {

const unsigned kRate = 44100;

/// Noise 0-44099, signal 44100-264599, noise 264600-308699, signal 308700-352799 (exactly one second).
const std::vector<Region> kFourRegions = {{0, 44100, 1e-6, 1e-6, 44100, true},
                                          {44100, 220500, 0.1, 0.1, 220500, false},
                                          {264600, 44100, 1e-6, 1e-6, 44100, true},
                                          {308700, 44100, 0.1, 0.1, 44100, false}};

/// Faint noise and tones on kFourRegions; passage 1 opens with 1000 silent frames, passage 2 with (-0.5, 0.0).
std::vector<double> fourRegionSignal()
{
    std::vector<double> s = TestUtil::makeTestSignal(352800, kRate, 0.5);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> faint(-1e-3, 1e-3);
    for (size_t f = 0; f < 352800; ++f) {
        if (f < 44100 || (f >= 264600 && f < 308700))
            s[2 * f] = faint(random), s[2 * f + 1] = faint(random);
        if (f >= 44100 && f < 45100)
            s[2 * f] = s[2 * f + 1] = 0.0;
    }
    s[2 * 308700] = -0.5;
    s[2 * 308700 + 1] = 0.0;
    return s;
}

/// A writer over hand-given regions; the detector is held by the writer alone.
std::unique_ptr<SoundWriterMultiFile> makeWriter(std::vector<Region> regions, SoundTools::SoundFormat format,
                                                 unsigned bitrate = 192)
{
    auto* detector = new Detector();
    detector->setRegions(regions, kRate);
    auto writer = std::make_unique<SoundWriterMultiFile>(detector, 1.0, kRate, 2, bitrate, format);
    detector->releaseReference();
    return writer;
}

/// Feeds `samples` in blocks that straddle the region boundaries; true on failure.
bool writeInBlocks(SoundWriter& writer, const std::vector<double>& samples, int firstFrame = 0)
{
    const size_t block = 10007;
    for (size_t f = 0; f < samples.size() / 2; f += block) {
        const size_t n = std::min(block, samples.size() / 2 - f);
        std::vector<double> part(samples.begin() + 2 * f, samples.begin() + 2 * (f + n));
        if (TestUtil::writeBlock(writer, part, 2, firstFrame + static_cast<int>(f)))
            return true;
    }
    return false;
}

std::vector<double> readFile(const std::string& path)
{
    SoundReaderSndfile reader;
    EXPECT_EQ(reader.open(path.c_str()), SoundTools::StatusOk) << reader.getError();
    reader.rewind();
    return TestUtil::readAll(reader);
}

/// The file at `path` holds exactly frames [from, to) of `source`.
void expectFrames(const std::string& path, const std::vector<double>& source, size_t from, size_t to)
{
    const std::vector<double> file = readFile(path);
    ASSERT_EQ(file.size(), 2 * (to - from));
    for (size_t i = 0; i < file.size(); ++i)
        ASSERT_EQ(file[i], source[2 * from + i]) << "frame " << i / 2;
}

} // namespace

TEST(SoundWriterMultiFile, NamesSegmentsAfterThePath)
{
    auto writer = makeWriter({}, SoundTools::PCM16);
    const struct {
        const char* path;
        int number;
        const char* expected;
    } cases[] = {
        {"D:\\music\\concert.wav", 1, "D:/music/001-concert.wav"},
        {"D:\\music\\concert.wav", 12, "D:/music/012-concert.wav"},
        {"07 live.flac", 1, "07 001-live.flac"},
        {"2014-concert.mp3", 1, "2014-001-concert.mp3"},
        {"12abc.wav", 1, "12-001-abc.wav"},
        {"concert.wav", 1000, "1000-concert.wav"},
        {"/x.wav", 1, "/001-x.wav"},
        {"D:/x.wav", 2, "D:/002-x.wav"},
        {"out/sub//take.ogg", 3, "out/sub/003-take.ogg"},
        {"noext", 1, "001-noext"},
        {"_ -9 x.wav", 4, "_ -9 004-x.wav"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(writer->open(c.path), SoundTools::StatusOk) << c.path;
        EXPECT_EQ(writer->getSegmentName(c.number), c.expected) << c.path;
    }
    for (const char* noName : {"out/", "", "D:\\music\\", ".wav"}) {
        EXPECT_EQ(writer->open(noName), SoundTools::StatusError) << noName;
        EXPECT_NE(std::string(writer->getError()).find(" : "), std::string::npos);
    }
}

// Short passages dropped, each other whole in its own file from its first sound; the detector held meanwhile.
TEST(SoundWriterMultiFile, CutsAlongTheRegions)
{
    const std::vector<double> source = fourRegionSignal();
    for (double minSeconds : {3.0, 1.0}) {
        SCOPED_TRACE("minimum " + std::to_string(minSeconds));
        TempDir tmp;
        auto* detector = new Detector();
        detector->setRegions(kFourRegions, kRate);
        {
            SoundWriterMultiFile writer(detector, minSeconds, kRate, 2, 192, SoundTools::Float64);
            EXPECT_EQ(detector->getReferenceCount(), 2);
            ASSERT_EQ(writer.open(tmp.path("take.wav").c_str()), SoundTools::StatusOk);
            EXPECT_FALSE(writeInBlocks(writer, source)) << writer.getError();
            EXPECT_EQ(writer.getCurrentOffset(), 352800);
            writer.close();
            EXPECT_EQ(writer.GetWrittenFiles(), minSeconds > 2 ? 1 : 2);
        }
        EXPECT_EQ(detector->getReferenceCount(), 1);
        detector->releaseReference();

        const QStringList files = QDir(tmp.dir.path()).entryList(QDir::Files, QDir::Name);
        expectFrames(tmp.path("001-take.wav"), source, 45100, 264600);
        SoundReaderSndfile part;
        SoundIDTag tag;
        ASSERT_EQ(part.open(tmp.path("001-take.wav").c_str()), SoundTools::StatusOk);
        EXPECT_FALSE(part.getTags(tag)) << "no tag given, no tag written";
        if (minSeconds > 2) {
            EXPECT_EQ(files, QStringList{"001-take.wav"});
        } else {
            EXPECT_EQ(files, (QStringList{"001-take.wav", "002-take.wav"}));
            expectFrames(tmp.path("002-take.wav"), source, 308700, 352800); // (-0.5, 0.0) is sound
        }
    }
}

TEST(SoundWriterMultiFile, SegmentThatCannotBeCreatedFailsTheWrite)
{
    TempDir tmp;
    auto writer = makeWriter(kFourRegions, SoundTools::PCM16);
    ASSERT_EQ(writer->open(tmp.path("gone/x.wav").c_str()), SoundTools::StatusOk);
    EXPECT_TRUE(writeInBlocks(*writer, fourRegionSignal()));
    EXPECT_TRUE(TestUtil::namesFile(writer->getError(), tmp.path("gone/001-x.wav"))) << writer->getError();
    EXPECT_LT(writer->getCurrentOffset(), 352800);
    writer->close();
    EXPECT_EQ(writer->GetWrittenFiles(), 0);
}

// The whole command (detector, then cut): one file a passage, the same cuts from a later start, failures fail it.
TEST(SoundWriterMultiFile, SplitCommandAgreesFromAStartPoint)
{
    const std::string tevo = TestUtil::tevoPath();
    if (tevo.empty())
        GTEST_SKIP() << "tevo not built";
    REQUIRE_TOOLS("sox");
    TempDir tmp;
    const std::string in = tmp.path("in.wav");
    // 1 s silence, 4 s tone, 2 s noise at -70 dB, 3 s tone, 2 s noise, 4 s tone.
    const std::string tone = " sine 440 sine 660 vol 0.3 : synth ", noise = " whitenoise vol 3e-4 : synth ";
    ASSERT_EQ(TestUtil::run("sox -V1 -R -n -r 44100 -c 2 -e floating-point -b 32 '" + in + "' synth 1 sine 440 vol 0 : synth 4"
                            + tone + "2" + noise + "3" + tone + "2" + noise + "4 sine 440 sine 660 vol 0.3"),
              0);
    for (const char* folder : {"all", "late", "taken/002-p.wav"}) // the last name is taken by a folder
        QDir(tmp.dir.path()).mkpath(folder);
    std::string out;
    auto split = [&](const std::string& output, const std::string& options) {
        out.clear();
        return TestUtil::run("'" + tevo + "' split '" + in + "' '" + tmp.path(output) + "' " + options + " 2>&1", &out);
    };
    ASSERT_EQ(split("all/p.wav", "--min 1 --format float32"), 0) << out;
    ASSERT_EQ(split("late/p.wav", "--min 1 --format float32 --start 6"), 0) << out;
    EXPECT_NE(out.find("2 file(s) written"), std::string::npos) << out;
    EXPECT_NE(split("taken/p.wav", "--min 1"), 0);
    EXPECT_NE(out.find("002-p.wav : "), std::string::npos) << out;

    const QStringList all = QDir(QString::fromStdString(tmp.path("all"))).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(all, (QStringList{"001-p.wav", "002-p.wav", "003-p.wav"}));
    // A passage may end half a second late: the tone's tail in the detector window is no noise.
    const double lengths[] = {4.0, 3.0, 4.0};
    for (int i = 0; i < 3; ++i) {
        SoundReaderSndfile reader;
        ASSERT_EQ(reader.open(tmp.path("all/" + all[i].toStdString()).c_str()), SoundTools::StatusOk);
        EXPECT_GT(reader.getLength(), lengths[i] - 0.25) << i;
        EXPECT_LT(reader.getLength(), lengths[i] + 0.75) << i;
    }
    for (int i = 2; i <= 3; ++i) {
        SCOPED_TRACE(i);
        const std::vector<double> whole = readFile(tmp.path("all/00" + std::to_string(i) + "-p.wav"));
        EXPECT_EQ(readFile(tmp.path("late/00" + std::to_string(i - 1) + "-p.wav")), whole);
    }
}
