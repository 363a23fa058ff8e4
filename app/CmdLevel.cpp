// `tevo level`: parsing and printing over LevelJob, and the levelling step
// of `tevo demo`.

#include "AppCommon.h"
#include "BatchRun.h"
#include "CommandRegistry.h"
#include "LoudnessPlot.h"
#include "TagOptions.h"

#include "LevelJob.h"
#include "RMSStepDetector.h"
#include "SoundAlgoFFTFilter.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cstdio>

using namespace AppCommon;

namespace {

void addLevelOptions(QCommandLineParser& parser)
{
    // The defaults shown are the job's own.
    const LevelJob::Options d;
    parser.addOption({"level", QString("RMS level every region of signal is brought to, in dB relative to full scale "
                                       "(an RMS level, not a loudness; default %1).")
                                   .arg(d.levelDb),
                      "DB"});
    parser.addOption({"target", QString("Then bring the integrated loudness of the whole output to LUFS (ITU-R "
                                        "BS.1770, EBU R128). Without a number %1, the usual podcast figure; broadcast "
                                        "delivery asks for -23. The final limiter holds the --true-peak ceiling.")
                                    .arg(LevelJob::kDefaultTargetLufs),
                      "LUFS"});
    parser.addOption({"plot", "Draw the input's and output's short-term loudness, the regions (noise in grey), "
                              "the gain applied and the target over time into FILE (.svg or .png).",
                      "FILE"});
    parser.addOption({"step", QString("Change of level, in dB, that starts a new region (default %1).").arg(d.detector.stepDb),
                      "DB"});
    parser.addOption({"min-region",
                      QString("Shortest region, in seconds (default %1).").arg(d.detector.minRegionSeconds),
                      "SECONDS"});
    parser.addOption({"window", QString("Window of the level measurement, in seconds (default %1).").arg(d.detector.windowSeconds),
                      "SECONDS"});
    parser.addOption({"max-gain", QString("Largest gain applied to a region, in dB (default %1).").arg(d.maxGainDb),
                      "DB"});
    parser.addOption({"ramp", QString("Time the gain takes to move from one region's value to the next, in seconds. "
                                      "A region starts about 0.1 s before its step: longer ramps let the start of a "
                                      "louder passage through at the gain of the quieter one (default %1).")
                                  .arg(d.rampSeconds),
                      "SECONDS"});
    parser.addOption({"smoothing", QString("Above 0, moves each region's level 1/N of the way towards the loudest "
                                           "region before its gain is computed (narrower spread of gains; default %1: "
                                           "off).")
                                       .arg(d.smoothing),
                      "N"});
    parser.addOption({"estimate-noise", "Estimate the noise level from the recording: regions well below the rest "
                                        "are noise and are not amplified. This is the default."});
    parser.addOption({"no-estimate-noise", "Do not estimate the noise level: only regions 40 dB below the "
                                           "loudest are noise."});
    parser.addOption({"compress", "How far the levelling goes: 1 keeps the differences between regions as they "
                                  "were (every region gets the same gain), large ratios (10 and more) bring every "
                                  "region to --level, ratios in between shrink the differences.",
                      "RATIO"});
    parser.addOption({"gate", "Silence passages whose level stays below DB (dBFS, after levelling).", "DB"});
    parser.addOption({"limit", "Make-up gain of the final limiter, in dB (default 0): the whole output is raised "
                               "by DB and its peaks held under the --true-peak ceiling. Not with --target, which "
                               "computes this gain itself.",
                      "DB"});
    parser.addOption({"true-peak", QString("Ceiling of the final limiter, in dBTP: true peaks (4x oversampled, as "
                                           "loudness meters measure them) of the output stay below it (default %1).")
                                       .arg(d.stages.truePeakDb),
                      "DBTP"});
    parser.addOption({"no-limit", "Leave out the final limiter: the output may clip."});
    parser.addOption({"attack",
                      QString("Look-ahead of the limiters, in seconds (default %1).").arg(d.stages.attackSeconds),
                      "SECONDS"});
    parser.addOption({"release", QString("Release of the limiters, in seconds (default %1); with --multiband also "
                                         "the ramp of the band amplifiers.")
                                     .arg(d.stages.releaseSeconds),
                      "SECONDS"});
    parser.addOption({"multiband", "Level band by band, split at the crossover frequencies F1,F2,... (Hz, "
                                   "ascending); every band is limited and the sum limited again. The band gains "
                                   "are capped at 20 dB.",
                      "F1,F2,..."});
    parser.addOption({"fft", QString("With --multiband: filter the bands with FFT filters of SIZE points (default %1, "
                                     "even, %2 to %3) instead of crossover filters.")
                                 .arg(LevelStages::kDefaultFftSize)
                                 .arg(SoundAlgoFFTFilter::getMinFullSize())
                                 .arg(LevelStages::kMaxFftSize),
                      "SIZE"});
    parser.addOption({"biquad", "With --multiband: second-order crossover filters instead of first-order ones."});
    TagOptions::addOptions(parser, TagOptions::Target::File);
}

/// Reads the options; false with `error` set on a bad value.
bool parseLevelOptions(const QCommandLineParser& parser, LevelJob::Options& options, QString& error)
{
    if (!parseOutputOptions(parser, options.out, error))
        return false;
    std::string text;
    const auto take = [&](const char* name) {
        if (options.set(name, parser.value(name).toStdString(), text))
            return true;
        error = QString::fromStdString(text);
        return false;
    };
    for (const char* name : {"level", "step", "min-region", "window", "max-gain", "ramp", "smoothing"})
        if (parser.isSet(name) && !take(name))
            return false;
    if (parser.isSet("estimate-noise") && parser.isSet("no-estimate-noise")) {
        error = "--estimate-noise and --no-estimate-noise contradict each other";
        return false;
    }
    options.estimateNoise = !parser.isSet("no-estimate-noise");
    for (const char* name : {"compress", "gate", "target"})
        if (parser.isSet(name) && !take(name))
            return false;
    options.tags = TagOptions::parse(parser);
    for (const char* name : {"limit", "attack", "release", "multiband", "true-peak", "fft"})
        if (parser.isSet(name) && !take(name))
            return false;
    options.stages.noLimit = parser.isSet("no-limit");
    options.stages.biquad = parser.isSet("biquad");
    error = QString::fromStdString(options.check());
    return error.isEmpty();
}

/// Optional numbers, which the parser cannot express: a bare "--target" (not
/// followed by a number) becomes "--target=-16", a bare "--fft" (not followed
/// by a whole number) "--fft=<default size>".
QStringList normaliseArguments(const QStringList& args)
{
    QStringList out;
    for (int i = 0; i < args.size(); ++i) {
        double value = 0.0;
        const bool next = i + 1 < args.size();
        if (args[i] == "--target" && (!next || !toNumber(args[i + 1], value))) {
            out << QString("--target=%1").arg(LevelJob::kDefaultTargetLufs);
            continue;
        }
        bool whole = false;
        if (next)
            args[i + 1].toUInt(&whole);
        if (args[i] == "--fft" && !whole) {
            out << QString("--fft=%1").arg(LevelStages::kDefaultFftSize);
            continue;
        }
        out << args[i];
    }
    return out;
}

/// Prints what the job found and did, as far as it came; with a
/// `regionsTitle` the regions too.
void printLevelResult(const LevelJob& job, const char* regionsTitle)
{
    const LevelJob::Result& r = job.result();
    if (r.hasInputLoudness)
        std::printf("Input: integrated %.2f LUFS, loudness range %.2f LU, true peak %.2f dBTP\n",
                    r.input.integratedLufs, r.input.loudnessRangeLu, r.input.truePeakDbtp);
    if (r.noiseEstimated)
        std::printf("Estimated noise level: %.2f dBFS (%.2f dB relative to the quieter channel of the loudest "
                    "region)\n",
                    r.noise.absoluteDb, r.noise.relativeDb);
    if (r.compressed)
        std::printf("Dynamic compression: mean correction %.2f dB\n", r.compressionCorrectionDb);
    if (!r.analysed)
        return;
    std::printf("%d regions, %d passage(s) of signal\n", r.regions, r.passages);
    if (regionsTitle != nullptr) {
        std::fflush(stdout);
        job.detector()->printRegions(regionsTitle);
    }
    if (r.levelledMeasured)
        std::printf("Levelled: integrated %.2f LUFS, make-up gain %+.2f dB for %.2f LUFS\n", r.levelledLufs,
                    job.settings().targetLufs - r.levelledLufs, job.settings().targetLufs);
    for (const auto& correction : r.corrections)
        std::printf("Off target: integrated %.2f LUFS, make-up gain corrected to %+.2f dB\n", correction.first,
                    correction.second);
    if (!r.written)
        return;
    if (r.limited) {
        const uint64_t frames = std::max<uint64_t>(1, r.outputFrames);
        std::printf("Limiter: %lld frames lowered (%.2f %% of the output) to hold %.2f dBTP\n",
                    static_cast<long long>(r.limiterFramesLowered),
                    100.0 * double(r.limiterFramesLowered) / double(frames),
                    job.settings().stages.truePeakDb);
    }
    std::printf("Output: integrated %.2f LUFS, loudness range %.2f LU, true peak %.2f dBTP\n",
                r.result.integratedLufs, r.result.loudnessRangeLu, r.result.truePeakDbtp);
}

/// The picture of --plot: input and output loudness, regions, gain, target.
bool drawLevelPlot(const LevelJob& job, const QString& plotPath, const QString& title)
{
    const LevelJob::Result& r = job.result();
    LoudnessPlot::Series series;
    series.title = title;
    series.step = r.result.historyStepSeconds;
    series.inputShortTerm = r.input.shortTermHistory;
    series.outputShortTerm = r.result.shortTermHistory;
    series.hasTarget = job.settings().hasTarget;
    series.targetLufs = job.settings().targetLufs;
    for (const RegionAnalysis::Region& region : r.regionList)
        series.regions.push_back({region.startSeconds, region.startSeconds + region.lengthSeconds, region.noise});
    series.gainDb = r.gainDb;
    QString error;
    if (!LoudnessPlot::draw(series, plotPath, error)) {
        printError(error);
        return false;
    }
    return true;
}

int runLevel(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString("Levels IN into OUT region by region: a first run cuts IN into level regions and marks the noise, a "
                "second run brings each region of signal to --level with gains that ramp from region to region. Noise "
                "is not amplified. With --target the whole output is then brought to an integrated loudness in LUFS. "
                "Unless --no-limit, a final limiter keeps the true peaks under --true-peak (-1 dBTP): no sample clips. "
                "Prints the output's integrated loudness and true peak. The container of OUT follows its extension; "
                "an MP3, Ogg or Opus output is decoded and measured, and written again when its encoder took it more "
                "than %1 LU off --target (encoders add up to about 0.5 dB to true peaks). A mono file counts as its "
                "channel on two loudspeakers (EBU R128's dual mono), 3 LU above a meter that counts the one channel "
                "once: compare with ffmpeg's ebur128=dualmono=true, or add 3 LU to such a meter's figures.\n"
                "Podcast: tevo level --target -16 IN OUT; broadcast: --target -23.\n"
                "Batch: tevo level IN... -o DIR [-j N] [--skip-existing] [--json] levels each input into DIR/NAME.EXT "
                "(EXT --type's or the input's), N files at once, one line per file as it finishes.")
            .arg(LevelJob::kEncoderSlackLu));
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addPositionalArgument("OUT", "Output file, or - for standard output.");
    addLevelOptions(parser);
    addOutputOptions(parser);
    addJsonOption(parser);
    BatchRun::addOptions(parser, BatchRun::Output::File);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, normaliseArguments(args), 2, "IN and OUT", exitCode, true))
        return exitCode;
    LevelJob::Options options;
    QString error;
    if (!parseLevelOptions(parser, options, error)) {
        printError(error);
        return ExitUsage;
    }
    QString plotPath;
    if (parser.isSet("plot")) {
        plotPath = parser.value("plot");
        if (!LoudnessPlot::checkPath(plotPath, error)) {
            printError(error);
            return ExitUsage;
        }
    }
    const bool verbose = parser.isSet("verbose");
    // The amplifier reports each gain through Qt's debug output.
    if (!verbose)
        QLoggingCategory::setFilterRules("default.debug=false");
    if (BatchRun::wanted(parser, BatchRun::Output::File)) {
        if (!plotPath.isEmpty()) {
            printError("--plot draws one file: level the files one by one to draw them");
            return ExitUsage;
        }
        const auto make = [&options](const QString& input, const QString& writePath) {
            LevelJob::Options one = options;
            one.input = input.toStdString();
            one.output = writePath.toStdString();
            return std::make_unique<BatchRun::JobWork<LevelJob>>(one, [](const LevelJob& job) {
                const LevelJob::Result& r = job.result();
                return QString("output %1, loudness range %2 LU, true peak %3")
                    .arg(LoudnessPlot::figure(r.result.integratedLufs, "LUFS", 0))
                    .arg(r.result.loudnessRangeLu, 0, 'f', 2)
                    .arg(LoudnessPlot::figure(r.result.truePeakDbtp, "dBTP", 0));
            });
        };
        return BatchRun(parser, BatchRun::Output::File).run(make);
    }
    const QString in = parser.positionalArguments().at(0);
    const QString out = parser.positionalArguments().at(1);

    OutputFile target;
    exitCode = target.prepare(out, {in});
    if (exitCode != ExitOk)
        return exitCode;
    auto reader = openReader(in, options.out.startSeconds);
    if (!reader)
        return ExitFailure;
    const QString writePath = target.writePath();
    if (writePath.isEmpty())
        return ExitFailure;
    options.input = in.toStdString();
    options.output = writePath.toStdString();
    LevelJob job(options);
    job.setInput(std::move(reader));
    exitCode = runJob(job);
    const bool json = parser.isSet("json");
    if (!json)
        printLevelResult(job, verbose ? "Regions :" : nullptr);
    if (exitCode == ExitOk && !plotPath.isEmpty()) {
        if (!drawLevelPlot(job, plotPath, QFileInfo(out).fileName()))
            exitCode = ExitFailure;
        else if (!json)
            std::printf("Plot: %s\n", qPrintable(QDir::toNativeSeparators(plotPath)));
    }
    exitCode = target.finish(exitCode);
    if (exitCode == ExitOk && json) {
        QJsonObject report = job.resultJson();
        report["file"] = in;
        report["output"] = out;
        if (!plotPath.isEmpty())
            report["plot"] = plotPath;
        printJson(report);
    }
    return exitCode;
}

/// Whole-file figures of a file, as one report line.
bool printStats(const QString& path)
{
    StatsJob::Options options;
    options.input = path.toStdString();
    options.loudness = false;
    StatsJob job(options);
    auto reader = openReader(path);
    if (!reader)
        return false;
    job.setInput(std::move(reader));
    if (runJob(job, false) != ExitOk)
        return false;
    const StatsJob::Levels& l = job.result().levels;
    std::printf("  %s: RMS %.2f dB (left %.2f, right %.2f), peak left %.2f dB, right %.2f dB\n",
                qPrintable(QDir::toNativeSeparators(path)), l.rmsDb, l.rmsLeftDb, l.rmsRightDb, l.peakLeftDb,
                l.peakRightDb);
    return true;
}

bool demoLevel(CommandRegistry::DemoContext& demo)
{
    std::printf("Level statistics of the recording:\n");
    bool ok = printStats(demo.recording);

    const QString out = QDir(demo.dir).filePath("recording-levelled.wav");
    LevelJob::Options options;
    options.input = demo.recording.toStdString();
    options.output = out.toStdString();
    options.measureInput = false;
    // A podcast delivery: -16 LUFS, true peaks under -1 dBTP.
    options.hasTarget = true;
    LevelJob job(options);
    auto reader = openReader(demo.recording);
    if (!reader)
        return false;
    job.setInput(std::move(reader));
    const int exitCode = runJob(job, false);
    printLevelResult(job, "Regions of the recording :");
    if (exitCode != ExitOk)
        return false;
    std::printf("  wrote %s (regions levelled to %.0f dB, then to %.0f LUFS)\n", qPrintable(out), options.levelDb,
                options.targetLufs);
    return printStats(out) && ok;
}

const bool registered = CommandRegistry::add(
    {"level", "Level a recording region by region towards a target level.", runLevel});
const bool demoStep = CommandRegistry::addDemoStep({300, "Level statistics, level regions and a levelled version", demoLevel});

} // namespace
