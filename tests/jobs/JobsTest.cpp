// The jobs on signals synthesised by sox, each checked against a figure got
// another way: the RMS of a sine, sox's stats and soxi on the written files,
// ffmpeg's loudness meter; and the refusals with their texts.
#include "TestUtil.h"

#include "BandsJob.h"
#include "LevelJob.h"
#include "ProcessJob.h"
#include "RegionsJob.h"
#include "SplitJob.h"
#include "StatsJob.h"
#include "SoundWriterMp3.h"

#include <QLoggingCategory>

#include <thread>

namespace {

class Jobs : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!TestUtil::haveTool("sox") || !TestUtil::haveTool("ffmpeg"))
            GTEST_SKIP() << "sox and ffmpeg are the independent references";
        ASSERT_TRUE(dir.isValid());
        // The amplifiers report every gain on Qt's debug output.
        QLoggingCategory::setFilterRules("default.debug=false");
    }
    std::string path(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }
    /// A stereo 16-bit file synthesised by sox from `effects` ("synth 3 sine 1000 ...").
    std::string make(const std::string& name, const std::string& effects)
    {
        const std::string file = path(name);
        EXPECT_EQ(TestUtil::run("sox -n -r 44100 -c 2 -b 16 '" + file + "' " + effects), 0) << effects;
        return file;
    }
    /// "RMS lev dB" (overall) of `sox FILE -n [trim ...] stats`.
    static double soxRmsDb(const std::string& file, const std::string& trim = "")
    {
        const std::vector<double> row = TestUtil::soxStats(file, "RMS lev dB", trim);
        return row.empty() ? NAN : row[0];
    }
    static double soxiSeconds(const std::string& file)
    {
        const std::string out = TestUtil::firstLine("soxi -D '" + file + "'");
        return out.empty() ? NAN : std::stod(out);
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(Jobs, StatsAndBandsMeasureKnownSines)
{
    // A sine of amplitude A has an RMS of A/sqrt(2): 0.5 gives -9.03 dB.
    const std::string sine = make("sine.wav", "synth 4 sine 1000 vol 0.5");
    StatsJob stats({sine, true});
    ASSERT_EQ(stats.run(), Job::Ok) << stats.error();
    const double expected = 20 * std::log10(0.5 / std::sqrt(2.0));
    EXPECT_NEAR(stats.result().levels.rmsDb, expected, 0.05);
    EXPECT_NEAR(stats.result().levels.peakLeftDb, 20 * std::log10(0.5), 0.05);
    EXPECT_NEAR(stats.result().loudness.integratedLufs, TestUtil::ffmpegLoudness(sine).integrated, 0.2);
    EXPECT_NEAR(stats.resultJson()["rmsDb"].toDouble(), expected, 0.05);

    // 200 Hz at 0.5 and 5 kHz at 0.05 fall into their own bands of a 1 kHz split.
    make("low.wav", "synth 4 sine 200 vol 0.5");
    make("high.wav", "synth 4 sine 5000 vol 0.05");
    const std::string two = path("two.wav");
    ASSERT_EQ(TestUtil::run("sox -m -v 1 '" + path("low.wav") + "' -v 1 '" + path("high.wav") + "' '" + two + "'"), 0);
    BandsJob::Options options;
    options.input = two;
    options.crossoversHz = {1000.0};
    BandsJob bands(options);
    ASSERT_EQ(bands.run(), Job::Ok) << bands.error();
    ASSERT_EQ(bands.result().bands.size(), 2u);
    EXPECT_NEAR(bands.result().bands[0].levels.rmsDb, 20 * std::log10(0.5 / std::sqrt(2.0)), 0.3);
    EXPECT_NEAR(bands.result().bands[1].levels.rmsDb, 20 * std::log10(0.05 / std::sqrt(2.0)), 0.3);
    EXPECT_DOUBLE_EQ(bands.result().bands[1].toHz, 22050.0);
}

TEST_F(Jobs, RegionsFollowTheSectionsOfARecording)
{
    // 4 s at 0.3, 4 s at 0.03 (20 dB lower), 4 s of near silence.
    const std::string in = make("steps.wav", "synth 4 sine 440 vol 0.3 : synth 4 sine 440 vol 0.03 : "
                                             "synth 4 whitenoise vol 0.0003");
    RegionsJob::Options options;
    options.input = in;
    options.detector.minRegionSeconds = 1.0;
    RegionsJob job(options);
    ASSERT_EQ(job.run(), Job::Ok) << job.error();
    const auto& regions = job.result().regions;
    ASSERT_GE(regions.size(), 3u);
    const double startsAt[] = {0.0, 4.0, 8.0};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(regions[i].startSeconds, startsAt[i], 0.25) << i;
        if (i < 2)
            EXPECT_NEAR(regions[i].powerLeftDb, soxRmsDb(in, "trim " + std::to_string(4 * i + 1) + " 2"), 1.0) << i;
    }
    EXPECT_FALSE(regions[0].noise);
    EXPECT_TRUE(regions[2].noise); // 60 dB below the loudest, past -40
    EXPECT_EQ(job.result().passages, 1);
}

TEST_F(Jobs, ProcessWritesWhatSoxMeasuresAndStopsOnRequest)
{
    const std::string in = make("in.wav", "synth 3 sine 1000 vol 0.5");
    ProcessJob::Options options;
    options.input = in;
    options.output = path("out.flac");
    options.stages = {{"gain", "-6"}, {"eq", "highpass:20"}};
    ProcessJob job(options);
    ASSERT_EQ(job.run(), Job::Ok) << job.error();
    EXPECT_NEAR(soxRmsDb(options.output), soxRmsDb(in) - 6.0, 0.1);
    EXPECT_NEAR(soxiSeconds(options.output), 3.0, 1e-3);

    // stop() from another thread ends the run with Stopped and says so.
    options.output = path("stopped.wav");
    options.stages.clear();
    ProcessJob stopped(options);
    stopped.setProgressCallback([&](const Job::Progress&) { std::thread([&] { stopped.stop(); }).join(); });
    EXPECT_EQ(stopped.run(), Job::Stopped);
    EXPECT_EQ(stopped.error(), "process stopped on request");
}

TEST_F(Jobs, LevelBringsSectionsToTheLevelAndTheTarget)
{
    // Two talkers 20 dB apart: both come out near the level asked for.
    const std::string in = make("talk.wav", "synth 5 pinknoise vol 0.05 : synth 5 pinknoise vol 0.5");
    LevelJob::Options options;
    options.input = in;
    options.output = path("levelled.wav");
    std::string error;
    ASSERT_TRUE(options.out.setFormat("float32", error));
    options.stages.noLimit = true;
    LevelJob job(options);
    ASSERT_EQ(job.run(), Job::Ok) << job.error();
    EXPECT_NEAR(soxRmsDb(options.output, "trim 1.5 2"), -20.0, 1.5);
    EXPECT_NEAR(soxRmsDb(options.output, "trim 6.5 2"), -20.0, 1.5);

    options.output = path("target.wav");
    options.stages.noLimit = false;
    options.hasTarget = true;
    options.targetLufs = -23.0;
    LevelJob target(options);
    ASSERT_EQ(target.run(), Job::Ok) << target.error();
    const double integrated = TestUtil::ffmpegLoudness(options.output).integrated;
    EXPECT_NEAR(integrated, -23.0, 0.5);
    EXPECT_NEAR(target.result().result.integratedLufs, integrated, 0.2);
    EXPECT_LE(target.result().result.truePeakDbtp, -1.0 + 0.1);
}

// The MP3 writer keeps headroom, and its encoder takes loudness off noise on
// its own: the decoded file still holds the target and the ceiling, and the
// figures the job reports are those ffmpeg reads in it.
TEST_F(Jobs, LevelIntoMp3HoldsTheTargetAsDecoded)
{
    if (!SoundWriterMp3::Init())
        GTEST_SKIP() << "no MP3 encoder";
    LevelJob::Options options;
    options.input = make("talk.wav", "synth 5 pinknoise vol 0.05 : synth 5 pinknoise vol 0.5");
    options.output = path("levelled.mp3");
    options.hasTarget = true;
    LevelJob job(options);
    ASSERT_EQ(job.run(), Job::Ok) << job.error();
    const TestUtil::Loudness ffmpeg = TestUtil::ffmpegLoudness(options.output);
    const double integrated = ffmpeg.integrated, truePeak = ffmpeg.truePeak;
    // ffmpeg prints one decimal; the job corrects what lies 0.1 LU off.
    EXPECT_NEAR(integrated, -16.0, 0.15);
    EXPECT_NEAR(job.result().result.integratedLufs, integrated, 0.06);
    // Two oversamplers read noise's true peaks up to 0.2 dB apart.
    EXPECT_NEAR(job.result().result.truePeakDbtp, truePeak, 0.2);
    // The encoder adds to the peaks the limiter held under -1 dBTP.
    EXPECT_LE(truePeak, -1.0 + 0.5);
}

TEST_F(Jobs, SplitWritesOneFilePerPassage)
{
    const std::string in = make("passages.wav", "synth 2 sine 440 vol 0.5 pad 0 2 : synth 3 sine 660 vol 0.5 pad 0 2 "
                                                ": synth 2.5 sine 880 vol 0.5");
    SplitJob::Options options;
    options.input = in;
    options.pattern = path("part.wav");
    options.minSeconds = 1.0;
    SplitJob job(options);
    ASSERT_EQ(job.run(), Job::Ok) << job.error();
    const double seconds[] = {2.0, 3.0, 2.5};
    ASSERT_EQ(job.result().files.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const std::string& name = job.result().files[i].name;
        EXPECT_EQ(name, SplitJob::segmentName(options.pattern, int(i) + 1));
        // A passage starts with the look-ahead of the level window and ends
        // with the fall of its level: a little longer than its tone.
        EXPECT_NEAR(soxiSeconds(name), seconds[i] + 0.35, 0.35) << name;
        EXPECT_NEAR(job.result().files[i].lengthSeconds, soxiSeconds(name), 1e-3);
    }
}

TEST_F(Jobs, BadValuesAreRefusedWithTheirReason)
{
    struct Case {
        std::function<bool(std::string&)> set;
        const char* text; // in the error
    };
    LevelJob::Options level;
    RegionsJob::Options regions;
    SplitJob::Options split;
    BandsJob::Options bands;
    JobOutput out;
    const Case cases[] = {
        {[&](std::string& e) { return level.set("level", "1", e); }, "--level needs a number of decibels <= 0"},
        {[&](std::string& e) { return level.set("step", "50", e); }, "up to 40"},
        {[&](std::string& e) { return level.set("smoothing", "1.5", e); }, "whole number"},
        {[&](std::string& e) { return level.set("multiband", "2000,200", e); }, "ascending"},
        {[&](std::string& e) { return level.set("fft", "1001", e); }, "--fft needs an even size"},
        {[&](std::string& e) { return regions.set("step", "-3", e); }, "--step needs a number of decibels > 0"},
        {[&](std::string& e) { return regions.set("window", "x", e); }, "not 'x'"},
        {[&](std::string& e) { return split.set("noise", "3", e); }, "--noise needs"},
        {[&](std::string& e) { return bands.set("crossovers", "0,100", e); }, "above 0"},
        {[&](std::string& e) { return out.setFormat("pcm12", e); }, "unknown format 'pcm12'"},
        {[&](std::string& e) { return out.setRange("5,2", e); }, "0 <= FROM < TO"},
        {[&](std::string& e) { return out.setBitrate("400", e); }, "8 to 320"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(c.set(error)) << c.text;
        EXPECT_NE(error.find(c.text), std::string::npos) << error;
    }

    // Choices that do not go together, and inputs that do not allow a run,
    // are refused before anything is written.
    const std::string in = make("short.wav", "synth 1 sine 440 vol 0.5");
    level.input = in;
    level.output = path("never.wav");
    level.levelDb = 0.0;
    level.stages.crossovers = {200.0};
    level.stages.fft = true;
    EXPECT_EQ(LevelJob(level).run(), Job::Refused);
    level.levelDb = -20.0;
    level.stages.crossovers = {30000.0};
    LevelJob nyquist(level);
    EXPECT_EQ(nyquist.run(), Job::Refused);
    EXPECT_NE(nyquist.error().find("half the sample rate"), std::string::npos) << nyquist.error();
    ProcessJob::Options process;
    process.input = in;
    process.output = path("never.wav");
    process.out.startSeconds = 5.0;
    ProcessJob late(process);
    EXPECT_EQ(late.run(), Job::Refused);
    EXPECT_NE(late.error().find("past the end"), std::string::npos) << late.error();
    process.out.startSeconds = 0.0;
    process.stages = {{"eq", "notch:1000"}};
    EXPECT_EQ(ProcessJob(process).run(), Job::Refused);
    split.input = in;
    split.pattern = path("part.txt");
    SplitJob unknown(split);
    EXPECT_EQ(unknown.run(), Job::Refused);
    EXPECT_NE(unknown.error().find("unknown output type"), std::string::npos) << unknown.error();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path("never.wav"))));
    StatsJob missing({path("missing.wav"), true});
    EXPECT_EQ(missing.run(), Job::Failed);
    EXPECT_NE(missing.error().find("missing.wav"), std::string::npos) << missing.error();
}
