#include "StatsJob.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoStats.h"
#include "SoundReader.h"

namespace {
// Statistics do not depend on the block size: blocks of 64k frames keep the
// buffers in cache and halve the time of the default 1M-frame blocks.
constexpr unsigned kBlockFrames = 1u << 16;
} // namespace

StatsJob::StatsJob(Options o)
    : options(std::move(o))
{
}

StatsJob::Levels StatsJob::levelsOf(const SoundAlgoStats& statsRef)
{
    auto& stats = const_cast<SoundAlgoStats&>(statsRef);
    SoundTools::StereoFrame<double> rms{-100.0, -100.0};
    SoundTools::StereoFrame<double> peak{-100.0, -100.0};
    Levels levels;
    stats.getGlobalStats(rms, levels.rmsDb, peak);
    levels.rmsLeftDb = rms.left;
    levels.rmsRightDb = rms.right;
    levels.peakLeftDb = peak.left;
    levels.peakRightDb = peak.right;
    return levels;
}

StatsJob::Loudness StatsJob::Loudness::of(const SoundAlgoLoudness& meter)
{
    Loudness l;
    l.integratedLufs = meter.getIntegrated();
    l.loudnessRangeLu = meter.getLoudnessRange();
    l.momentaryMaxLufs = meter.getMomentaryMax();
    l.shortTermMaxLufs = meter.getShortTermMax();
    l.truePeakDbtp = meter.getTruePeak();
    l.samplePeakDbfs = meter.getSamplePeak();
    l.shortTermHistory = meter.getShortTermHistory();
    l.historyStepSeconds = meter.getHistoryStep();
    return l;
}

StatsJob::Loudness StatsJob::Loudness::withGain(double gainDb) const
{
    const auto raise = [gainDb](double& figure) {
        if (figure > SoundAlgoLoudness::sNoLoudness)
            figure += gainDb;
    };
    Loudness l = *this;
    for (double* figure : {&l.integratedLufs, &l.momentaryMaxLufs, &l.shortTermMaxLufs, &l.truePeakDbtp, &l.samplePeakDbfs})
        raise(*figure);
    for (double& reading : l.shortTermHistory)
        raise(reading);
    return l;
}

QJsonObject StatsJob::Loudness::toJson(bool full) const
{
    QJsonObject figures;
    figures["integratedLufs"] = integratedLufs;
    figures["loudnessRangeLu"] = loudnessRangeLu;
    if (full) {
        figures["momentaryMaxLufs"] = momentaryMaxLufs;
        figures["shortTermMaxLufs"] = shortTermMaxLufs;
    }
    figures["truePeakDbtp"] = truePeakDbtp;
    if (full)
        figures["samplePeakDbfs"] = samplePeakDbfs;
    return figures;
}

Job::Status StatsJob::run()
{
    begin();
    res = Result();
    res.file = options.input;
    auto reader = takeInput(options.input, 0.0);
    if (!reader)
        return Failed;
    const unsigned rate = reader->getSampleRate();
    res.lengthSeconds = rate > 0 ? double(reader->getFrameNB()) / rate : 0.0;
    BlockFrames blocks(kBlockFrames);
    // StatsOnly: no sliding window, so nothing delays or pads the count.
    auto* stats = new SoundAlgoStats(SoundAlgoStats::StatsOnly);
    NodeRef statsRef(stats);
    NodeRef top;
    SoundAlgoLoudness* loudness = nullptr;
    NodeRef loudnessRef;
    if (options.loudness) {
        loudness = new SoundAlgoLoudness();
        loudnessRef.reset(loudness);
        // The chain takes over references of its own; ours keep the figures
        // readable after the run.
        stats->addReference();
        loudness->addReference();
        auto* chain = new SoundAlgoComposite("stats", true);
        chain->pushAlgo(stats);
        chain->pushAlgo(loudness);
        top.reset(chain);
    } else {
        stats->addReference();
        top.reset(stats);
    }
    const Status status = runNode(*top, *reader, nullptr, "stats");
    if (status != Ok)
        return status;
    res.levels = levelsOf(*stats);
    if (loudness != nullptr) {
        res.hasLoudness = true;
        res.loudness = Loudness::of(*loudness);
    }
    return Ok;
}

QJsonObject StatsJob::resultJson() const
{
    QJsonObject result;
    result["file"] = QString::fromStdString(res.file);
    result["rmsDb"] = res.levels.rmsDb;
    result["rmsLeftDb"] = res.levels.rmsLeftDb;
    result["rmsRightDb"] = res.levels.rmsRightDb;
    result["peakLeftDb"] = res.levels.peakLeftDb;
    result["peakRightDb"] = res.levels.peakRightDb;
    if (res.hasLoudness) {
        const QJsonObject loudness = res.loudness.toJson(true);
        for (auto it = loudness.begin(); it != loudness.end(); ++it)
            result[it.key()] = it.value();
    }
    return result;
}
