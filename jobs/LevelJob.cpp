#include "LevelJob.h"

#include "RMSStepDetector.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundReader.h"
#include "SoundWriter.h"

#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// The amplifier looks a region up afresh at every block start; only then
// does a region of noise drop the gain of the speech before it to 0 dB.
// Blocks of 8k frames (under a second) keep pauses from being raised with
// the speech for seconds; they cost a few per cent of speed.
constexpr unsigned kBlockFrames = 1u << 13;
// The limiter takes a little loudness off the peaks it lowers: a result
// further than this from the target is written once more.
constexpr double kTargetSlackLu = 0.2;

/// Frames of the input that a run measures: from the start point to the end.
uint64_t measuredLength(SoundReader& reader)
{
    return uint64_t(std::max<int64_t>(0, int64_t(reader.getFrameNB()) - int64_t(reader.getStartOffset())));
}

/// A reference to `node` for a composite that takes one over.
template <class Node> Node* shared(Node* node)
{
    node->addReference();
    return node;
}

} // namespace

bool LevelJob::Options::set(const std::string& name, const std::string& value, std::string& error)
{
    const QString text = QString::fromStdString(value);
    double x = 0;
    const bool number = Job::parseNumber(value, x);
    const auto refuse = [&](const char* format) {
        error = QString(format).arg(text).toStdString();
        return false;
    };
    if (name == "level")
        return number && x <= 0 ? (levelDb = x, true) : refuse("--level needs a number of decibels <= 0, not '%1'");
    if (name == "step")
        return number && x > 0 && x <= 40
            ? (detector.stepDb = x, true)
            : refuse("--step needs a number of decibels above 0 and up to 40, not '%1'");
    if (name == "min-region")
        return number && x >= 0.1 && x <= 600
            ? (detector.minRegionSeconds = x, true)
            : refuse("--min-region needs a number of seconds from 0.1 to 600, not '%1'");
    if (name == "window")
        return number && x >= 0.01 && x <= 10
            ? (detector.windowSeconds = x, true)
            : refuse("--window needs a number of seconds from 0.01 to 10, not '%1'");
    if (name == "max-gain")
        return number && x >= 0 && x <= 60 ? (maxGainDb = x, true)
                                           : refuse("--max-gain needs a number of decibels from 0 to 60, not '%1'");
    if (name == "ramp")
        return number && x >= 0 && x <= 60 ? (rampSet = true, rampSeconds = x, true)
                                           : refuse("--ramp needs a number of seconds from 0 to 60, not '%1'");
    if (name == "smoothing") {
        bool ok = false;
        smoothing = text.toInt(&ok);
        return ok && smoothing >= 0 ? true : refuse("--smoothing needs a whole number >= 0, not '%1'");
    }
    if (name == "compress") {
        compress = true;
        return number && x >= 1 ? (compressRatio = x, true) : refuse("--compress needs a ratio >= 1, not '%1'");
    }
    if (name == "gate") {
        gate = true;
        return number && x <= 0 ? (gateDb = x, true) : refuse("--gate needs a number of decibels <= 0, not '%1'");
    }
    if (name == "target") {
        hasTarget = true;
        return number && x >= -70 && x <= 0 ? (targetLufs = x, true)
                                            : refuse("--target needs a loudness in LUFS from -70 to 0, not '%1'");
    }
    return stages.set(name, value, error);
}

std::string LevelJob::Options::check() const
{
    if (hasTarget && stages.limit)
        return "--limit sets the make-up gain that --target computes: give one or the other";
    return stages.check(levelDb, rampSet);
}

LevelJob::LevelJob(Options o)
    : options(std::move(o))
{
}

LevelJob::~LevelJob() = default;

const RMSStepDetector* LevelJob::detector() const
{
    return static_cast<const RMSStepDetector*>(detectorNode.get());
}

Job::Status LevelJob::run()
{
    begin();
    res = Result();
    res.file = options.input;
    res.output = options.output;
    std::string error = options.check();
    if (!error.empty())
        return fail(Refused, error);
    BlockFrames blocks(kBlockFrames);
    Status opened = Failed;
    auto reader = takeInput(options.input, options.out, opened);
    if (!reader)
        return opened;
    res.sampleRate = reader->getSampleRate();
    error = LevelStages::checkSampleRate(options.stages, res.sampleRate);
    if (!error.empty())
        return fail(Refused, error);
    const Status status = analyse(*reader);
    return status != Ok ? status : levelInto(*reader);
}

Job::Status LevelJob::analyse(SoundReader& reader)
{
    detectorNode.reset(RegionAnalysis::newDetector(options.detector));
    auto* found = static_cast<RMSStepDetector*>(detectorNode.get());
    NodeRef chain(new SoundAlgoComposite("analyse", true));
    NodeRef inputMeter;
    if (options.measureInput) {
        // Passes its input on unchanged: the detector sees the recording.
        auto* meter = new SoundAlgoLoudness();
        inputMeter.reset(meter);
        meter->setMeasuredLength(measuredLength(reader));
        static_cast<SoundAlgoComposite*>(chain.get())->pushAlgo(shared(meter));
    }
    static_cast<SoundAlgoComposite*>(chain.get())->pushAlgo(shared(found));
    const Status status = runNode(*chain, reader, nullptr, "analyse");
    if (status != Ok)
        return status;
    res.analysed = true;
    if (inputMeter) {
        res.hasInputLoudness = true;
        res.input = StatsJob::Loudness::of(*static_cast<SoundAlgoLoudness*>(inputMeter.get()));
    }
    if (options.estimateNoise) {
        res.noiseEstimated = true;
        res.noise = RegionAnalysis::estimateBelowRest(*found);
        found->applyNoise(res.noise.relativeDb);
    }
    if (options.compress) {
        res.compressed = true;
        res.compressionCorrectionDb = found->compressDynamic(options.compressRatio);
    }
    res.regions = found->size();
    res.passages = found->GetSegmentsNumber();
    return Ok;
}

Job::Status LevelJob::levelInto(SoundReader& reader)
{
    auto* found = static_cast<RMSStepDetector*>(detectorNode.get());
    const unsigned rate = reader.getSampleRate();
    // The graph of a run: the amplifier driven by the analysed detector, then
    // the stages that work on its output, in processing order; with `final`
    // the last stage too (limiter, or the make-up gain alone). The loudness
    // of what comes out is measured into `meter`.
    const auto buildGraph = [&](bool final, double makeupDb, double writerGainDb, SoundAlgoLimiter** limiter,
                                SoundAlgoLoudness* meter) {
        auto* chain = new SoundAlgoComposite("level", true);
        chain->pushAlgo(LevelStages::makeLevelling(options.stages, options.levelDb, found, options.rampSeconds,
                                                   options.smoothing, options.maxGainDb));
        if (options.gate)
            chain->pushAlgo(new SoundAlgoNoiseGate(options.gateDb));
        if (final)
            if (SoundAlgo* last = LevelStages::makeFinalLimiter(options.stages, makeupDb, writerGainDb)) {
                if (std::string(last->getName()) == "SoundAlgoLimiter")
                    *limiter = shared(static_cast<SoundAlgoLimiter*>(last));
                chain->pushAlgo(last);
            }
        chain->pushAlgo(shared(meter));
        return NodeRef(chain);
    };

    double makeupDb = options.stages.limit ? options.stages.limitDb : 0.0;
    if (options.hasTarget) {
        NodeRef meterRef(new SoundAlgoLoudness());
        auto* meter = static_cast<SoundAlgoLoudness*>(meterRef.get());
        meter->setMeasuredLength(measuredLength(reader));
        NodeRef graph = buildGraph(false, 0.0, 0.0, nullptr, meter);
        reader.rewind();
        const Status status = runNode(*graph, reader, nullptr, "measure");
        if (status != Ok)
            return status;
        res.levelledLufs = meter->getIntegrated();
        if (res.levelledLufs <= SoundAlgoLoudness::sNoLoudness)
            return fail(Failed, "the levelled recording is silent: it has no loudness to bring to --target");
        res.levelledMeasured = true;
        makeupDb = options.targetLufs - res.levelledLufs;
    }

    NodeRef limiterRef;
    NodeRef meterRef;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string error;
        auto writer = options.out.openWriter(options.output, rate, reader.getInputFormat(), error);
        if (!writer)
            return fail(Failed, error);
        // What the file holds is the stream at the writer's gain (the MP3
        // writer's headroom): the final stage makes up for it, and the meter,
        // which sees the stream, is read at that gain.
        res.writerGainDb = writer->getGainDb();
        SoundAlgoLimiter* limiter = nullptr;
        meterRef.reset(new SoundAlgoLoudness());
        auto* meter = static_cast<SoundAlgoLoudness*>(meterRef.get());
        meter->setMeasuredLength(measuredLength(reader));
        NodeRef graph = buildGraph(true, makeupDb, res.writerGainDb, &limiter, meter);
        limiterRef.reset(limiter);
        const SoundIDTag tags = options.tags.carry(reader);
        if (TagOverrides::any(tags))
            writer->setTags(tags);
        int64_t from = reader.getStartOffset();
        int64_t to = reader.getFrameNB();
        if (options.out.hasRange) {
            from = std::max<int64_t>(from, SoundTools::secondsToFrames(options.out.rangeFromSeconds, rate));
            to = std::min<int64_t>(to, SoundTools::secondsToFrames(options.out.rangeToSeconds, rate));
        }
        // The loop delivers the output lined up with the input: the range is
        // in the input's frames.
        writer->setRange(static_cast<int>(std::min<int64_t>(from, INT_MAX)),
                         static_cast<int>(std::min<int64_t>(to, INT_MAX)));
        reader.rewind();
        const Status status = runNode(*graph, reader, writer.get(), "level");
        if (status != Ok)
            return status;
        res.result = StatsJob::Loudness::of(*meter).withGain(res.writerGainDb);
        const bool lossy = writer->isLossy();
        writer.reset();
        if (lossy) {
            const Status measured = measureWritten(res.result);
            if (measured != Ok)
                return measured;
        }
        const double integrated = res.result.integratedLufs;
        const double miss = options.targetLufs - integrated;
        // Without a limiter or an encoder the make-up gain lands exactly.
        if (!options.hasTarget || (limiter == nullptr && !lossy)
            || std::fabs(miss) <= (lossy ? kEncoderSlackLu : kTargetSlackLu)
            || integrated <= SoundAlgoLoudness::sNoLoudness)
            break;
        makeupDb += miss;
        if (attempt == 0)
            res.corrections.push_back({integrated, makeupDb});
    }

    const auto& output = *static_cast<SoundAlgoLoudness*>(meterRef.get());
    res.written = true;
    res.makeupGainDb = makeupDb;
    res.limited = limiterRef != nullptr;
    if (res.limited)
        res.limiterFramesLowered = static_cast<SoundAlgoLimiter*>(limiterRef.get())->getLoweredFrames();
    res.outputFrames = output.getFrameCount();
    res.regionList = RegionAnalysis::regions(*found, rate);
    if (options.stages.crossovers.empty())
        res.gainDb = gainsOverTime(res.result.historyStepSeconds,
                                   std::max(res.input.shortTermHistory.size(), res.result.shortTermHistory.size()));
    if (!res.limited && res.result.truePeakDbtp > 0.0)
        warn(QString("the output clips (true peak %1 dBTP); without --no-limit a limiter holds the --true-peak "
                     "ceiling")
                 .arg(res.result.truePeakDbtp, 0, 'f', 2)
                 .toStdString());
    return Ok;
}

Job::Status LevelJob::measureWritten(StatsJob::Loudness& figures)
{
    std::string error;
    auto written = openInput(options.output, 0.0, error);
    if (!written)
        return fail(Failed, error);
    NodeRef meterRef(new SoundAlgoLoudness());
    auto* meter = static_cast<SoundAlgoLoudness*>(meterRef.get());
    meter->setMeasuredLength(measuredLength(*written));
    const Status status = runNode(*meter, *written, nullptr, "measure output");
    if (status != Ok)
        return status;
    // The plot lines the output's history up with the input's from the start
    // point; the decoded file starts at its range and may carry the
    // encoder's padding, so the stream's history stays.
    StatsJob::Loudness decoded = StatsJob::Loudness::of(*meter);
    decoded.shortTermHistory = std::move(figures.shortTermHistory);
    decoded.historyStepSeconds = figures.historyStepSeconds;
    figures = std::move(decoded);
    return Ok;
}

std::vector<double> LevelJob::gainsOverTime(double step, size_t readings) const
{
    // The region's gain toward the level (0 dB in noise), plus the make-up gain.
    auto& found = const_cast<RMSStepDetector&>(*detector());
    std::vector<double> gains(readings, res.makeupGainDb);
    const double maxRms = found.getCurrentMax();
    const double level = SoundTools::dbToLinear(options.levelDb);
    const double maxGain = SoundTools::dbToLinear(options.maxGainDb);
    const int count = found.size();
    int r = 0;
    for (size_t k = 0; k < readings && count > 0; ++k) {
        const double t = (k + 1) * step;
        const int64_t frame = static_cast<int64_t>(t * res.sampleRate);
        while (r + 1 < count && found.getRegion(r + 1).start <= frame)
            ++r;
        const RMSStepDetector::Region region = found.getRegion(r);
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

QJsonObject LevelJob::resultJson() const
{
    QJsonObject report;
    report["file"] = QString::fromStdString(res.file);
    report["output"] = QString::fromStdString(res.output);
    if (res.hasInputLoudness)
        report["input"] = res.input.toJson(false);
    if (res.noiseEstimated) {
        report["noiseLevelDbfs"] = res.noise.absoluteDb;
        report["noiseLevelRelativeDb"] = res.noise.relativeDb;
    }
    if (res.compressed)
        report["compressionCorrectionDb"] = res.compressionCorrectionDb;
    if (res.analysed) {
        report["regions"] = res.regions;
        report["passages"] = res.passages;
    }
    if (res.levelledMeasured) {
        report["levelledLufs"] = res.levelledLufs;
        report["targetLufs"] = options.targetLufs;
    }
    if (res.written) {
        report["makeupGainDb"] = res.makeupGainDb;
        if (res.limited) {
            report["limiterFramesLowered"] = static_cast<double>(res.limiterFramesLowered);
            report["truePeakCeilingDbtp"] = options.stages.truePeakDb;
        }
        if (res.writerGainDb != 0.0)
            report["writerGainDb"] = res.writerGainDb;
        report["result"] = res.result.toJson(false);
    }
    return report;
}
