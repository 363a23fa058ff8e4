#include "AppCommon.h"
#include "CommandRegistry.h"
#include "LevelStages.h"
#include "TagOptions.h"
#include "LoudnessPlot.h"
#include "NoiseEstimate.h"

#include "RMSStepDetector.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundAlgoStats.h"
#include "SoundBuffer.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QDir>
#include <QLoggingCategory>

#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

using namespace AppCommon;

namespace {

// Noise estimation: one second of the quietest material per five minutes;
// regions more than 60 dB below the loudest are digital silence, not noise.
constexpr double kQuietSeconds = 1.0;
constexpr double kSilenceRangeDb = 60.0;

// Region detection, measured on four speech-like recordings (the demo mix,
// two talkers 15 dB apart, a lecture with long pauses over room noise, music
// with a quiet intro) levelled to -16 LUFS: with the former 5 dB steps and
// 5 s regions, sections ended up to 5 LU off target and pauses were raised
// to -35 LUFS; 8 dB steps (syllables vary by +-4 dB and no longer start
// regions of their own) and 1 s regions keep every section within 2 LU.
// bench/loudness/sweep.sh repeats the measurement.
constexpr double kStepDb = 8.0;
constexpr double kMinRegionSeconds = 1.0;
constexpr double kWindowSeconds = 0.2;
// The quietest section of the demo mix needs 22 dB; noise is marked before
// the gains are chosen, so a larger ceiling does not raise pauses.
constexpr double kMaxGainDb = 30.0;
// The podcast figure; broadcast delivery asks for -23.
constexpr double kDefaultTargetLufs = -16.0;
constexpr unsigned kBlockFrames = 1u << 13;

struct LevelOptions {
    double stepDb = kStepDb;
    double minRegionSeconds = kMinRegionSeconds;
    double windowSeconds = kWindowSeconds;
    double levelDb = -20.0;
    bool hasTarget = false;
    double targetLufs = kDefaultTargetLufs;
    QString plotPath;
    double maxGainDb = kMaxGainDb;
    double rampSeconds = 0.1;
    int smoothing = 0;
    bool estimateNoise = true;
    bool compress = false;
    double compressRatio = 1.0;
    bool gate = false;
    double gateDb = -50.0;
    bool verbose = false;
    bool progress = true; ///< progress display on standard error
    QJsonObject* report = nullptr; ///< --json: results go here, not as text
    QString outputName;            ///< OUT as the user named it (the run writes a temporary file)
    OutputOptions output;
    LevelStages::Options stages; ///< final limiter, multiband levelling
    TagOptions::Overrides tags;  ///< replace the input's tags field by field
};

void addLevelOptions(QCommandLineParser& parser)
{
    parser.addOption({"level", "RMS level every region of signal is brought to, in dB relative to full scale "
                               "(an RMS level, not a loudness; default -20).",
                      "DB", "-20"});
    parser.addOption({"target", "Then bring the integrated loudness of the whole output to LUFS (ITU-R BS.1770, "
                                "EBU R128). Without a number -16, the usual podcast figure; broadcast delivery "
                                "asks for -23. The final limiter holds the --true-peak ceiling.",
                      "LUFS"});
    parser.addOption({"plot", "Draw the input's and output's short-term loudness, the regions (noise in grey), "
                              "the gain applied and the target over time into FILE (.svg or .png).",
                      "FILE"});
    parser.addOption({"step", QString("Change of level, in dB, that starts a new region (default %1).").arg(kStepDb),
                      "DB", QString::number(kStepDb)});
    parser.addOption({"min-region", QString("Shortest region, in seconds (default %1).").arg(kMinRegionSeconds),
                      "SECONDS", QString::number(kMinRegionSeconds)});
    parser.addOption({"window", QString("Window of the level measurement, in seconds (default %1).")
                                    .arg(kWindowSeconds),
                      "SECONDS", QString::number(kWindowSeconds)});
    parser.addOption({"max-gain", QString("Largest gain applied to a region, in dB (default %1).").arg(kMaxGainDb),
                      "DB", QString::number(kMaxGainDb)});
    parser.addOption({"ramp", "Time the gain takes to move from one region's value to the next, in seconds. A "
                              "region starts about 0.1 s before its step: longer ramps let the start of a louder "
                              "passage through at the gain of the quieter one (default 0.1).",
                      "SECONDS", "0.1"});
    parser.addOption({"smoothing", "Above 0, moves each region's level 1/N of the way towards the loudest region "
                                   "before its gain is computed (narrower spread of gains; default 0: off).",
                      "N", "0"});
    parser.addOption({"estimate-noise", "Estimate the noise level from the recording: regions well below the rest "
                                        "are noise and are not amplified. This is the default."});
    parser.addOption({"no-estimate-noise", "Do not estimate the noise level: only regions 40 dB below the "
                                           "loudest are noise."});
    parser.addOption({"compress", "How far the levelling goes: 1 keeps the differences between regions as they "
                                  "were (every region gets the same gain), large ratios (10 and more) bring every "
                                  "region to --level, ratios in between shrink the differences.",
                      "RATIO"});
    parser.addOption({"gate", "Silence passages whose level stays below DB (dBFS, after levelling).", "DB"});
    LevelStages::addOptions(parser);
    TagOptions::addOptions(parser, TagOptions::Target::File);
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
    if (!toNumber(parser.value("step"), options.stepDb) || options.stepDb <= 0 || options.stepDb > 40) {
        error = QString("--step needs a number of decibels above 0 and up to 40, not '%1'").arg(parser.value("step"));
        return false;
    }
    if (!toNumber(parser.value("min-region"), options.minRegionSeconds) || options.minRegionSeconds < 0.1
        || options.minRegionSeconds > 600) {
        error = QString("--min-region needs a number of seconds from 0.1 to 600, not '%1'")
                    .arg(parser.value("min-region"));
        return false;
    }
    if (!toNumber(parser.value("window"), options.windowSeconds) || options.windowSeconds < 0.01
        || options.windowSeconds > 10) {
        error = QString("--window needs a number of seconds from 0.01 to 10, not '%1'").arg(parser.value("window"));
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
    if (parser.isSet("estimate-noise") && parser.isSet("no-estimate-noise")) {
        error = "--estimate-noise and --no-estimate-noise contradict each other";
        return false;
    }
    options.estimateNoise = !parser.isSet("no-estimate-noise");
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
    options.tags = TagOptions::parse(parser);
    if (parser.isSet("target")) {
        options.hasTarget = true;
        if (!toNumber(parser.value("target"), options.targetLufs) || options.targetLufs < -70
            || options.targetLufs > 0) {
            error = QString("--target needs a loudness in LUFS from -70 to 0, not '%1'").arg(parser.value("target"));
            return false;
        }
        if (parser.isSet("limit")) {
            error = "--limit sets the make-up gain that --target computes: give one or the other";
            return false;
        }
    }
    if (parser.isSet("plot")) {
        options.plotPath = parser.value("plot");
        if (!LoudnessPlot::checkPath(options.plotPath, error))
            return false;
    }
    return LevelStages::parseOptions(parser, options.levelDb, options.stages, error);
}

/// --target takes an optional number, which the parser cannot express: a bare
/// "--target" (not followed by a number) becomes "--target=-16".
QStringList normaliseTarget(const QStringList& args)
{
    QStringList out;
    for (int i = 0; i < args.size(); ++i) {
        double value = 0.0;
        if (args[i] == "--target" && (i + 1 >= args.size() || !toNumber(args[i + 1], value))) {
            out << QString("--target=%1").arg(kDefaultTargetLufs);
            continue;
        }
        out << args[i];
    }
    return out;
}

RMSStepDetector* newDetector(const LevelOptions& options)
{
    return new RMSStepDetector(options.stepDb, options.minRegionSeconds, -40.0, options.windowSeconds,
                               RMSStepDetector::NoOutput);
}

/// A node kept readable after the composite that runs it is gone: holds the
/// creator's reference; whoever pushes the node into a composite adds the
/// composite's own.
template <class Node> struct Kept {
    Node* node = nullptr;
    NodePtr ref;
    explicit Kept(Node* created)
        : node(created)
        , ref(created)
    {
    }
};

/// The graph of the second run: the amplifier driven by the analysed
/// detector, then the stages that work on its output. Everything that
/// follows the levelling belongs here, in processing order.
/// With `final` the last stage (limiter, or the make-up gain alone) is
/// added with `makeupDb`, and kept in `*final` when it is a limiter; the
/// loudness of what comes out is measured into `loudness` in every case.
NodePtr buildLevelGraph(RMSStepDetector* detector, const LevelOptions& options, bool withFinal, double makeupDb,
                        SoundAlgoLimiter** final, SoundAlgoLoudness* loudness)
{
    std::vector<SoundAlgo*> stages;
    stages.push_back(LevelStages::makeLevelling(options.stages, options.levelDb, detector, options.rampSeconds,
                                                options.smoothing, options.maxGainDb));
    if (options.gate)
        stages.push_back(new SoundAlgoNoiseGate(options.gateDb));
    if (withFinal) {
        if (SoundAlgo* last = LevelStages::makeFinalLimiter(options.stages, makeupDb)) {
            stages.push_back(last);
            if (final != nullptr && std::string(last->getName()) == "SoundAlgoLimiter") {
                *final = static_cast<SoundAlgoLimiter*>(last);
                last->addReference();
            }
        }
    }
    if (loudness != nullptr) {
        loudness->addReference();
        stages.push_back(loudness);
    }
    auto* chain = new SoundAlgoComposite("level", true);
    for (SoundAlgo* stage : stages)
        chain->pushAlgo(stage);
    return NodePtr(chain);
}

/// The loudness figures of a run, for --json.
QJsonObject loudnessJson(const SoundAlgoLoudness& meter)
{
    QJsonObject figures;
    figures["integratedLufs"] = meter.getIntegrated();
    figures["loudnessRangeLu"] = meter.getLoudnessRange();
    figures["truePeakDbtp"] = meter.getTruePeak();
    return figures;
}

/// Frames of the input that a run measures: from the start point to the end.
uint64_t measuredLength(SoundReader& reader)
{
    return uint64_t(std::max<int64_t>(0, int64_t(reader.getFrameNB()) - int64_t(reader.getStartOffset())));
}

/// First run and analyses: the detector over the input, noise estimation and
/// compression as asked. Returns the exit code; prints a short summary.
int analyse(SoundReader& reader, RMSStepDetector& detector, const LevelOptions& options,
            SoundAlgoLoudness* inputLoudness = nullptr)
{
    NodePtr chain(new SoundAlgoComposite("analyse", true));
    if (inputLoudness != nullptr) {
        // Passes its input on unchanged: the detector sees the recording.
        inputLoudness->addReference();
        static_cast<SoundAlgoComposite*>(chain.get())->pushAlgo(inputLoudness);
    }
    detector.addReference();
    static_cast<SoundAlgoComposite*>(chain.get())->pushAlgo(&detector);
    if (options.progress) {
        const int code = runWithProgress(*chain, reader, nullptr, "analyse");
        if (code != ExitOk)
            return code;
    } else if (chain->processAll(reader, nullptr) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(chain->getError()));
        return ExitFailure;
    }
    if (inputLoudness != nullptr) {
        if (options.report != nullptr)
            (*options.report)["input"] = loudnessJson(*inputLoudness);
        else
            std::printf("Input: integrated %.2f LUFS, loudness range %.2f LU, true peak %.2f dBTP\n",
                        inputLoudness->getIntegrated(), inputLoudness->getLoudnessRange(),
                        inputLoudness->getTruePeak());
    }
    if (options.estimateNoise) {
        const NoiseEstimate::Result noise = NoiseEstimate::estimate(detector);
        detector.applyNoise(noise.relativeDb);
        if (options.report != nullptr) {
            (*options.report)["noiseLevelDbfs"] = noise.absoluteDb;
            (*options.report)["noiseLevelRelativeDb"] = noise.relativeDb;
        } else {
            std::printf("Estimated noise level: %.2f dBFS (%.2f dB relative to the quieter channel of the loudest "
                        "region)\n",
                        noise.absoluteDb, noise.relativeDb);
        }
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

/// Runs `graph` over the whole reader into `writer` (may be null).
int runGraph(SoundAlgo& graph, SoundReader& reader, SoundWriter* writer, const LevelOptions& options,
             const QString& what)
{
    reader.rewind();
    if (options.progress)
        return runWithProgress(graph, reader, writer, what);
    const SoundTools::Status status = graph.processAll(reader, writer);
    if (writer != nullptr)
        writer->close();
    if (status != SoundTools::StatusOk) {
        printError(QString::fromUtf8(graph.getError()));
        return ExitFailure;
    }
    if (writer != nullptr && writer->closeFailed()) {
        printError(QString::fromUtf8(writer->getError()));
        return ExitFailure;
    }
    return ExitOk;
}

/// The gain the levelling applies at each reading of the plot: the region's
/// gain toward --level (0 dB in noise), plus the make-up gain.
std::vector<double> gainsOverTime(RMSStepDetector& detector, const LevelOptions& options, double makeupDb,
                                  double step, size_t readings, unsigned rate)
{
    std::vector<double> gains(readings, makeupDb);
    const double maxRms = detector.getCurrentMax();
    const double level = SoundTools::dbToLinear(options.levelDb);
    const double maxGain = SoundTools::dbToLinear(options.maxGainDb);
    const int count = detector.size();
    int r = 0;
    for (size_t k = 0; k < readings && count > 0; ++k) {
        const double t = (k + 1) * step;
        const int64_t frame = static_cast<int64_t>(t * rate);
        while (r + 1 < count && detector.getRegion(r + 1).start <= frame)
            ++r;
        const RMSStepDetector::Region region = detector.getRegion(r);
        if (region.isNoise)
            continue;
        double x = std::sqrt(std::max(region.powerLeft, region.powerRight));
        if (options.smoothing > 0)
            x += (maxRms - x) / options.smoothing;
        const double gain = x > 0 ? std::min(maxGain, level / x) : maxGain;
        gains[k] += SoundTools::linearToDb(gain);
    }
    return gains;
}

bool drawLevelPlot(RMSStepDetector& detector, const LevelOptions& options, double makeupDb,
                   const SoundAlgoLoudness* input, const SoundAlgoLoudness& output, unsigned rate, const QString& title)
{
    LoudnessPlot::Series series;
    series.title = title;
    series.step = output.getHistoryStep();
    if (input != nullptr)
        series.inputShortTerm = input->getShortTermHistory();
    series.outputShortTerm = output.getShortTermHistory();
    series.hasTarget = options.hasTarget;
    series.targetLufs = options.targetLufs;
    const int count = detector.size();
    for (int i = 0; i < count; ++i) {
        const RMSStepDetector::Region region = detector.getRegion(i);
        series.regions.push_back({double(region.start) / rate, double(region.start + region.length) / rate,
                                  region.isNoise});
    }
    if (options.stages.crossovers.empty())
        series.gainDb = gainsOverTime(detector, options, makeupDb, series.step,
                                      std::max(series.inputShortTerm.size(), series.outputShortTerm.size()), rate);
    QString error;
    if (!LoudnessPlot::draw(series, options.plotPath, error)) {
        printError(error);
        return false;
    }
    if (options.report != nullptr)
        (*options.report)["plot"] = options.plotPath;
    else
        std::printf("Plot: %s\n", qPrintable(QDir::toNativeSeparators(options.plotPath)));
    return true;
}

/// Levelling from the reader's start into `out`: with --target a first run
/// measures the loudness of the levelled recording, so that the make-up gain
/// of the final limiter brings it to the target; the final run writes the
/// file and measures what it wrote. The writer's range is moved by the
/// graph's delay, so that the file lines up with the input.
int levelInto(SoundReader& reader, RMSStepDetector* detector, const QString& out, const LevelOptions& options,
              const SoundAlgoLoudness* inputLoudness = nullptr)
{
    const unsigned rate = reader.getSampleRate();
    double makeupDb = options.stages.limit ? options.stages.limitDb : 0.0;
    if (options.hasTarget) {
        Kept<SoundAlgoLoudness> measured(new SoundAlgoLoudness());
        measured.node->setMeasuredLength(measuredLength(reader));
        NodePtr graph = buildLevelGraph(detector, options, false, 0.0, nullptr, measured.node);
        const int code = runGraph(*graph, reader, nullptr, options, "measure");
        if (code != ExitOk)
            return code;
        const double levelled = measured.node->getIntegrated();
        if (levelled <= SoundAlgoLoudness::sNoLoudness) {
            printError("the levelled recording is silent: it has no loudness to bring to --target");
            return ExitFailure;
        }
        makeupDb = options.targetLufs - levelled;
        if (options.report != nullptr) {
            (*options.report)["levelledLufs"] = levelled;
            (*options.report)["targetLufs"] = options.targetLufs;
        } else {
            std::printf("Levelled: integrated %.2f LUFS, make-up gain %+.2f dB for %.2f LUFS\n", levelled, makeupDb,
                        options.targetLufs);
        }
    }

    // The limiter takes a little loudness off the peaks it lowers: when the
    // result misses the target by more than kTargetSlackLu, the make-up gain
    // is corrected by the miss and the output written once more.
    constexpr double kTargetSlackLu = 0.2;
    SoundAlgoLimiter* limiter = nullptr;
    NodePtr limiterRef;
    std::unique_ptr<Kept<SoundAlgoLoudness>> result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        limiter = nullptr;
        result = std::make_unique<Kept<SoundAlgoLoudness>>(new SoundAlgoLoudness());
        result->node->setMeasuredLength(measuredLength(reader));
        NodePtr graph = buildLevelGraph(detector, options, true, makeupDb, &limiter, result->node);
        limiterRef.reset(limiter);
        auto writer = openWriter(out, rate, options.output, reader.getInputFormat());
        if (!writer)
            return ExitFailure;
        const SoundIDTag tags = TagOptions::carry(reader, options.tags);
        if (TagOptions::any(tags))
            writer->setTags(tags);
        int64_t from = reader.getStartOffset();
        int64_t to = reader.getFrameNB();
        if (options.output.hasRange) {
            from = std::max<int64_t>(from, SoundTools::secondsToFrames(options.output.rangeFrom, rate));
            to = std::min<int64_t>(to, SoundTools::secondsToFrames(options.output.rangeTo, rate));
        }
        // The loop delivers the output lined up with the input: the range is
        // in the input's frames.
        writer->setRange(static_cast<int>(std::min<int64_t>(from, INT_MAX)),
                         static_cast<int>(std::min<int64_t>(to, INT_MAX)));
        const int code = runGraph(*graph, reader, writer.get(), options, "level");
        if (code != ExitOk)
            return code;
        const double miss = options.targetLufs - result->node->getIntegrated();
        if (!options.hasTarget || limiter == nullptr || std::fabs(miss) <= kTargetSlackLu
            || result->node->getIntegrated() <= SoundAlgoLoudness::sNoLoudness)
            break;
        makeupDb += miss;
        if (attempt == 0 && options.report == nullptr)
            std::printf("Limited: integrated %.2f LUFS, make-up gain corrected to %+.2f dB\n",
                        result->node->getIntegrated(), makeupDb);
    }

    const SoundAlgoLoudness& output = *result->node;
    if (options.report != nullptr) {
        (*options.report)["makeupGainDb"] = makeupDb;
        if (limiter != nullptr) {
            (*options.report)["limiterFramesLowered"] = static_cast<double>(limiter->getLoweredFrames());
            (*options.report)["truePeakCeilingDbtp"] = options.stages.truePeakDb;
        }
        (*options.report)["result"] = loudnessJson(output);
    } else {
        if (limiter != nullptr) {
            const uint64_t frames = std::max<uint64_t>(1, output.getFrameCount());
            std::printf("Limiter: %lld frames lowered (%.2f %% of the output) to hold %.2f dBTP\n",
                        static_cast<long long>(limiter->getLoweredFrames()),
                        100.0 * double(limiter->getLoweredFrames()) / double(frames), options.stages.truePeakDb);
        }
        std::printf("Output: integrated %.2f LUFS, loudness range %.2f LU, true peak %.2f dBTP\n",
                    output.getIntegrated(), output.getLoudnessRange(), output.getTruePeak());
    }
    if (limiter == nullptr && output.getTruePeak() > 0.0)
        printWarning(QString("the output clips (true peak %1 dBTP); without --no-limit a limiter holds the "
                             "--true-peak ceiling")
                         .arg(output.getTruePeak(), 0, 'f', 2));
    if (!options.plotPath.isEmpty()
        && !drawLevelPlot(*detector, options, makeupDb, inputLoudness, output, rate,
                          QFileInfo(options.outputName).fileName()))
        return ExitFailure;
    return ExitOk;
}

int runLevel(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Levels IN into OUT region by region: a first run cuts IN into level regions and marks the noise, a "
        "second run brings each region of signal to --level with gains that ramp from region to region. Noise "
        "is not amplified. With --target the whole output is then brought to an integrated loudness in LUFS. "
        "Unless --no-limit, a final limiter keeps the true peaks under --true-peak (-1 dBTP): no sample clips. "
        "Prints the output's integrated loudness and true peak. The container of OUT follows its extension.\n"
        "Podcast: tevo level --target -16 IN OUT; broadcast: --target -23.");
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addPositionalArgument("OUT", "Output file, or - for standard output.");
    addLevelOptions(parser);
    addOutputOptions(parser);
    addJsonOption(parser);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, LevelStages::normaliseArguments(normaliseTarget(args)), 2, "IN and OUT",
                          exitCode))
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
    options.outputName = parser.positionalArguments().at(1);

    OutputFile target;
    exitCode = target.prepare(parser.positionalArguments().at(1), {parser.positionalArguments().at(0)});
    if (exitCode != ExitOk)
        return exitCode;
    // The amplifier looks a region up afresh at every block start; only then
    // does a region of noise drop the gain of the speech before it to 0 dB.
    // Blocks of 32k frames (under a second) keep pauses from being raised
    // with the speech for seconds; they cost a few per cent of speed.
    SoundBuffer::setDefaultSize(kBlockFrames);
    auto reader = openReader(parser.positionalArguments().at(0), options.output.start);
    if (!reader)
        return ExitFailure;
    if (const int refused = checkStartAndRange(*reader, options.output))
        return refused;
    followInput(options.output, *reader);
    if (!LevelStages::checkSampleRate(options.stages, reader->getSampleRate(), error)) {
        printError(error);
        return ExitUsage;
    }
    NodePtr detectorNode(newDetector(options));
    auto* detector = static_cast<RMSStepDetector*>(detectorNode.get());
    Kept<SoundAlgoLoudness> input(new SoundAlgoLoudness());
    input.node->setMeasuredLength(measuredLength(*reader));
    exitCode = analyse(*reader, *detector, options, input.node);
    if (exitCode != ExitOk)
        return exitCode;
    if (options.verbose)
        detector->printRegions("Regions :");
    const QString writePath = target.writePath();
    if (writePath.isEmpty())
        return ExitFailure;
    exitCode = target.finish(levelInto(*reader, detector, writePath, options, input.node));
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
    // A podcast delivery: -16 LUFS, true peaks under -1 dBTP.
    options.hasTarget = true;
    auto reader = openReader(demo.recording);
    if (!reader)
        return false;
    NodePtr detectorNode(newDetector(options));
    auto* detector = static_cast<RMSStepDetector*>(detectorNode.get());
    if (analyse(*reader, *detector, options) != ExitOk)
        return false;
    std::fflush(stdout);
    detector->printRegions("Regions of the recording :");

    const QString out = QDir(demo.dir).filePath("recording-levelled.wav");
    if (levelInto(*reader, detector, out, options) != ExitOk)
        return false;
    std::printf("  wrote %s (regions levelled to %.0f dB, then to %.0f LUFS)\n", qPrintable(out), options.levelDb,
                options.targetLufs);
    return printStats(out) && ok;
}

const bool registered = CommandRegistry::add(
    {"level", "Level a recording region by region towards a target level.", runLevel});
const bool demoStep =
    CommandRegistry::addDemoStep({300, "Level statistics, level regions and a levelled version", demoLevel});

} // namespace
