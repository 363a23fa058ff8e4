#include "AppCommon.h"
#include "CommandRegistry.h"
#include "LevelStages.h"

#include "RMSStepDetector.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundAlgoStats.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QDir>
#include <QLoggingCategory>

#include <climits>
#include <cstdio>
#include <vector>

using namespace AppCommon;

namespace {

// Noise estimation: one second of the quietest material per five minutes;
// regions more than 60 dB below the loudest are digital silence, not noise.
constexpr double kQuietSeconds = 1.0;
constexpr double kSilenceRangeDb = 60.0;

struct LevelOptions {
    double levelDb = -20.0;
    double maxGainDb = 20.0;
    double rampSeconds = 0.1;
    int smoothing = 0;
    bool estimateNoise = false;
    bool compress = false;
    double compressRatio = 1.0;
    bool gate = false;
    double gateDb = -50.0;
    bool verbose = false;
    bool progress = true; ///< progress display on standard error
    QJsonObject* report = nullptr; ///< --json: results go here, not as text
    OutputOptions output;
    LevelStages::Options stages; ///< final limiter, multiband levelling
};

void addLevelOptions(QCommandLineParser& parser)
{
    parser.addOption({"level", "Target RMS level of every region, in dB (default -20).", "DB", "-20"});
    parser.addOption({"max-gain", "Largest gain applied to a region, in dB (default 20).", "DB", "20"});
    parser.addOption({"ramp", "Time the gain takes to move from one region's value to the next, in seconds. A "
                              "region starts about 0.1 s before its step: longer ramps let the start of a louder "
                              "passage through at the gain of the quieter one (default 0.1).",
                      "SECONDS", "0.1"});
    parser.addOption({"smoothing", "Above 0, moves each region's level 1/N of the way towards the loudest region "
                                   "before its gain is computed (narrower spread of gains; default 0: off).",
                      "N", "0"});
    parser.addOption({"estimate-noise", "Estimate the noise level from the recording (noise is not amplified)."});
    parser.addOption({"compress", "Compress the dynamics between regions first: 1 levels every region, larger "
                                  "ratios keep more of the original differences.",
                      "RATIO"});
    parser.addOption({"gate", "Silence passages whose level stays below DB (dBFS, after levelling).", "DB"});
    LevelStages::addOptions(parser);
}

/// Reads the options; false with `error` set on a bad value.
bool parseLevelOptions(const QCommandLineParser& parser, LevelOptions& options, QString& error)
{
    if (!parseOutputOptions(parser, options.output, error))
        return false;
    if (!toNumber(parser.value("level"), options.levelDb) || options.levelDb > 0) {
        error = QString("--level needs a number of decibels <= 0, not '%1'").arg(parser.value("level"));
        return false;
    }
    if (!toNumber(parser.value("max-gain"), options.maxGainDb) || options.maxGainDb < 0 || options.maxGainDb > 60) {
        error = QString("--max-gain needs a number of decibels from 0 to 60, not '%1'").arg(parser.value("max-gain"));
        return false;
    }
    if (!toNumber(parser.value("ramp"), options.rampSeconds) || options.rampSeconds < 0
        || options.rampSeconds > 60) {
        error = QString("--ramp needs a number of seconds from 0 to 60, not '%1'").arg(parser.value("ramp"));
        return false;
    }
    bool ok = false;
    options.smoothing = parser.value("smoothing").toInt(&ok);
    if (!ok || options.smoothing < 0) {
        error = QString("--smoothing needs a whole number >= 0, not '%1'").arg(parser.value("smoothing"));
        return false;
    }
    options.estimateNoise = parser.isSet("estimate-noise");
    if (parser.isSet("compress")) {
        options.compress = true;
        if (!toNumber(parser.value("compress"), options.compressRatio) || options.compressRatio < 1) {
            error = QString("--compress needs a ratio >= 1, not '%1'").arg(parser.value("compress"));
            return false;
        }
    }
    if (parser.isSet("gate")) {
        options.gate = true;
        if (!toNumber(parser.value("gate"), options.gateDb) || options.gateDb > 0) {
            error = QString("--gate needs a number of decibels <= 0, not '%1'").arg(parser.value("gate"));
            return false;
        }
    }
    options.verbose = parser.isSet("verbose");
    return LevelStages::parseOptions(parser, options.levelDb, options.stages, error);
}

/// The graph of the second run: the amplifier driven by the analysed
/// detector, then the stages that work on its output. Everything that
/// follows the levelling belongs here, in processing order.
NodePtr buildLevelGraph(RMSStepDetector* detector, const LevelOptions& options)
{
    std::vector<SoundAlgo*> stages;
    stages.push_back(LevelStages::makeLevelling(options.stages, options.levelDb, detector, options.rampSeconds,
                                                options.smoothing, options.maxGainDb));
    if (options.gate)
        stages.push_back(new SoundAlgoNoiseGate(options.gateDb));
    if (SoundAlgo* limiter = LevelStages::makeFinalLimiter(options.stages))
        stages.push_back(limiter);
    if (stages.size() == 1)
        return NodePtr(stages.front());
    auto* chain = new SoundAlgoComposite("level", true);
    for (SoundAlgo* stage : stages)
        chain->pushAlgo(stage);
    return NodePtr(chain);
}

/// First run and analyses: the detector over the input, noise estimation and
/// compression as asked. Returns the exit code; prints a short summary.
int analyse(SoundReader& reader, RMSStepDetector& detector, const LevelOptions& options)
{
    if (options.progress) {
        const int code = runWithProgress(detector, reader, nullptr, "analyse");
        if (code != ExitOk)
            return code;
    } else if (detector.processAll(reader, nullptr) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(detector.getError()));
        return ExitFailure;
    }
    if (options.estimateNoise) {
        const double noiseDb = detector.estimateNoise(kQuietSeconds, kSilenceRangeDb);
        detector.applyNoise(noiseDb);
        if (options.report != nullptr)
            (*options.report)["noiseLevelDb"] = noiseDb;
        else
            std::printf("Estimated noise level: %.2f dB\n", noiseDb);
    }
    if (options.compress) {
        const double correction = detector.compressDynamic(options.compressRatio);
        if (options.report != nullptr)
            (*options.report)["compressionCorrectionDb"] = correction;
        else
            std::printf("Dynamic compression: mean correction %.2f dB\n", correction);
    }
    if (options.report != nullptr) {
        (*options.report)["regions"] = detector.size();
        (*options.report)["passages"] = detector.GetSegmentsNumber();
    } else {
        std::printf("%d regions, %d passage(s) of signal\n", detector.size(), detector.GetSegmentsNumber());
    }
    return ExitOk;
}

/// Second run from the reader's start into `out`. The writer's range is
/// moved by the graph's delay, so that the file lines up with the input.
int levelInto(SoundReader& reader, RMSStepDetector* detector, const QString& out, const LevelOptions& options)
{
    const unsigned rate = reader.getSampleRate();
    NodePtr graph = buildLevelGraph(detector, options);
    auto writer = openWriter(out, rate, options.output, reader.getInputFormat());
    if (!writer)
        return ExitFailure;
    const int64_t delay = int64_t(graph->getDelay(rate)) + LevelStages::hiddenLatency(options.stages);
    int64_t from = reader.getStartOffset();
    int64_t to = reader.getFrameNB();
    if (options.output.hasRange) {
        from = std::max<int64_t>(from, SoundTools::secondsToFrames(options.output.rangeFrom, rate));
        to = std::min<int64_t>(to, SoundTools::secondsToFrames(options.output.rangeTo, rate));
    }
    writer->setRange(static_cast<int>(std::min<int64_t>(from + delay, INT_MAX)),
                     static_cast<int>(std::min<int64_t>(to + delay, INT_MAX)));
    reader.rewind();
    if (options.progress)
        return runWithProgress(*graph, reader, writer.get(), "level");
    const SoundTools::Status status = graph->processAll(reader, writer.get());
    writer->close();
    if (status != SoundTools::StatusOk) {
        printError(QString::fromUtf8(graph->getError()));
        return ExitFailure;
    }
    return ExitOk;
}

int runLevel(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Levels IN into OUT region by region: a first run cuts IN into level regions and marks the noise, a "
        "second run brings each region of signal to --level with gains that ramp from region to region. Noise "
        "is not amplified. The container of OUT follows its extension.");
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addPositionalArgument("OUT", "Output file, or - for standard output.");
    addLevelOptions(parser);
    addOutputOptions(parser);
    addJsonOption(parser);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, LevelStages::normaliseArguments(args), 2, "IN and OUT", exitCode))
        return exitCode;
    LevelOptions options;
    QString error;
    if (!parseLevelOptions(parser, options, error)) {
        printError(error);
        return ExitUsage;
    }
    // The amplifier reports each gain through Qt's debug output.
    if (!options.verbose)
        QLoggingCategory::setFilterRules("default.debug=false");
    QJsonObject report;
    if (parser.isSet("json")) {
        report["file"] = parser.positionalArguments().at(0);
        report["output"] = parser.positionalArguments().at(1);
        options.report = &report;
    }

    OutputFile target;
    exitCode = target.prepare(parser.positionalArguments().at(1), {parser.positionalArguments().at(0)});
    if (exitCode != ExitOk)
        return exitCode;
    auto reader = openReader(parser.positionalArguments().at(0), options.output.start);
    if (!reader)
        return ExitFailure;
    followInput(options.output, *reader);
    if (!LevelStages::checkSampleRate(options.stages, reader->getSampleRate(), error)) {
        printError(error);
        return ExitUsage;
    }
    NodePtr detectorNode(new RMSStepDetector(5.0, 5.0, -40.0, 0.2, RMSStepDetector::NoOutput));
    auto* detector = static_cast<RMSStepDetector*>(detectorNode.get());
    exitCode = analyse(*reader, *detector, options);
    if (exitCode != ExitOk)
        return exitCode;
    if (options.verbose)
        detector->printRegions("Regions :");
    const QString writePath = target.writePath();
    if (writePath.isEmpty())
        return ExitFailure;
    exitCode = target.finish(levelInto(*reader, detector, writePath, options));
    if (exitCode == ExitOk && options.report != nullptr)
        printJson(report);
    return exitCode;
}

/// Whole-file figures of a file, as one report line.
bool printStats(const QString& path)
{
    auto reader = openReader(path);
    if (!reader)
        return false;
    NodePtr node(new SoundAlgoStats(SoundAlgoStats::StatsOnly));
    auto* stats = static_cast<SoundAlgoStats*>(node.get());
    if (stats->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(stats->getError()));
        return false;
    }
    SoundTools::StereoFrame<double> rms{-100.0, -100.0};
    SoundTools::StereoFrame<double> peak{-100.0, -100.0};
    double total = -100.0;
    stats->getGlobalStats(rms, total, peak);
    std::printf("  %s: RMS %.2f dB (left %.2f, right %.2f), peak left %.2f dB, right %.2f dB\n",
                qPrintable(QDir::toNativeSeparators(path)), total, rms.left, rms.right, peak.left, peak.right);
    return true;
}

bool demoLevel(CommandRegistry::DemoContext& demo)
{
    std::printf("Level statistics of the recording:\n");
    bool ok = printStats(demo.recording);

    LevelOptions options;
    options.progress = false;
    options.estimateNoise = true;
    // The recording's loud peaks sit about 24 dB above its RMS: a lower
    // target keeps them below full scale once the quiet passages come up.
    options.levelDb = -28.0;
    auto reader = openReader(demo.recording);
    if (!reader)
        return false;
    NodePtr detectorNode(new RMSStepDetector(5.0, 5.0, -40.0, 0.2, RMSStepDetector::NoOutput));
    auto* detector = static_cast<RMSStepDetector*>(detectorNode.get());
    if (analyse(*reader, *detector, options) != ExitOk)
        return false;
    std::fflush(stdout);
    detector->printRegions("Regions of the recording :");

    const QString out = QDir(demo.dir).filePath("recording-levelled.wav");
    if (levelInto(*reader, detector, out, options) != ExitOk)
        return false;
    std::printf("  wrote %s (regions levelled to %.0f dB)\n", qPrintable(out), options.levelDb);
    return printStats(out) && ok;
}

const bool registered = CommandRegistry::add(
    {"level", "Level a recording region by region towards a target level.", runLevel});
const bool demoStep =
    CommandRegistry::addDemoStep({300, "Level statistics, level regions and a levelled version", demoLevel});

} // namespace
