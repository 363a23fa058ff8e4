// `tevo demo` step: the whole chain on the recording. One analysis finds the
// level regions and the noise; three graphs level the recording (one band,
// crossover bands, FFT bands), equalise and limit it; the single-band result
// is then cut into one file per passage along the same regions.

#include "AppCommon.h"
#include "CommandRegistry.h"
#include "LevelStages.h"
#include "RegionAnalysis.h"
#include "StatsJob.h"

#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundWriterMultiFile.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <climits>
#include <cstdio>

using namespace AppCommon;

namespace {

constexpr double kLevelDb = -20.0;
constexpr double kMaxGainDb = 20.0;
constexpr double kRampSeconds = 0.1;
// Make-up gain of the final limiter: the levelled material has headroom left.
constexpr double kMakeUpDb = 4.0;
constexpr double kMinPassageSeconds = 1.0;

/// "name: 50.00 s, RMS -20.1 dB, peak -0.2 dB" for a written file.
bool summarise(const QString& path)
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
    const StatsJob::Result& r = job.result();
    std::printf("  %-34s %7.2f s, RMS %6.1f dB, peak %6.2f dB\n", qPrintable(QFileInfo(path).fileName()),
                r.lengthSeconds, r.levels.rmsDb, std::max(r.levels.peakLeftDb, r.levels.peakRightDb));
    return true;
}

/// Levelling, equaliser and final limiter in one chain.
AppCommon::NodePtr buildChain(const LevelStages::Options& options, RMSStepDetector* detector)
{
    auto* chain = new SoundAlgoComposite("LevelChain", true);
    chain->pushAlgo(LevelStages::makeLevelling(options, kLevelDb, detector, kRampSeconds, 0, kMaxGainDb));
    // A gentle presence curve: warmth below 120 Hz, speech band lifted, hiss
    // tamed. It comes before the limiter so that its boosts stay under the
    // ceiling too.
    auto* eq = new SoundAlgoFilterBiquad(SoundTools::LowShelf, 120.0, 1.0, 2.0);
    eq->pushFilter(SoundTools::BandEq, 3000.0, 1.0, 2.0);
    eq->pushFilter(SoundTools::HighShelf, 10000.0, 1.0, -3.0);
    chain->pushAlgo(eq);
    chain->pushAlgo(LevelStages::makeFinalLimiter(options, options.limitDb));
    return AppCommon::NodePtr(chain);
}

bool runChain(const QString& in, const QString& out, const LevelStages::Options& options, RMSStepDetector* detector)
{
    auto reader = openReader(in);
    if (!reader)
        return false;
    NodePtr graph = buildChain(options, detector);
    auto writer = openWriter(out, reader->getSampleRate(), SoundTools::PCM16);
    if (!writer)
        return false;
    // The loop compensates the graph's latency (the FFT bands' filters): the
    // file lines up with the recording without a range.
    const SoundTools::Status status = graph->processAll(*reader, writer.get());
    writer->close();
    if (status != SoundTools::StatusOk) {
        printError(QString::fromUtf8(graph->getError()));
        return false;
    }
    std::printf("%s\n", LevelStages::describe(options).c_str());
    return summarise(out);
}

bool splitAlongRegions(const QString& in, const QString& pattern, RMSStepDetector* detector)
{
    auto reader = openReader(in);
    if (!reader)
        return false;
    SoundWriterMultiFile writer(detector, kMinPassageSeconds, reader->getSampleRate(), 2, 192, SoundTools::PCM16);
    const QByteArray name = pattern.toUtf8();
    if (writer.open(name.constData()) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(writer.getError()));
        return false;
    }
    NodePtr copy(new SoundAlgoBypass());
    const SoundTools::Status status = copy->processAll(*reader, &writer);
    writer.close();
    if (status != SoundTools::StatusOk || writer.closeFailed()) {
        printError(QString::fromUtf8(status != SoundTools::StatusOk ? copy->getError() : writer.getError()));
        return false;
    }
    std::printf("Passages of %s, one file each:\n", qPrintable(QFileInfo(in).fileName()));
    bool ok = true;
    for (int i = 1; i <= writer.GetWrittenFiles(); ++i)
        ok = summarise(QString::fromStdString(writer.getSegmentName(i))) && ok;
    return ok;
}

bool demoChain(CommandRegistry::DemoContext& demo)
{
    // The amplifiers report every gain on Qt's debug output.
    QLoggingCategory::setFilterRules("default.debug=false");
    const QDir dir(demo.dir);
    std::printf("Input:\n");
    bool ok = summarise(demo.recording);

    auto reader = openReader(demo.recording);
    if (!reader)
        return false;
    NodePtr detectorNode(RegionAnalysis::newDetector(RegionAnalysis::Settings()));
    auto* detector = static_cast<RMSStepDetector*>(detectorNode.get());
    if (detector->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(detector->getError()));
        return false;
    }
    detector->applyNoise(RegionAnalysis::estimateQuietest(*detector));
    std::printf("Regions: %d, passages of signal: %d\n", detector->size(), detector->GetSegmentsNumber());

    LevelStages::Options single;
    single.limit = true;
    single.limitDb = kMakeUpDb;
    LevelStages::Options crossover = single;
    crossover.crossovers = {200.0, 2000.0};
    LevelStages::Options fft = crossover;
    fft.fft = true;

    const QString chained = dir.filePath("chain-single-band.wav");
    ok = runChain(demo.recording, chained, single, detector) && ok;
    ok = runChain(demo.recording, dir.filePath("chain-multiband.wav"), crossover, detector) && ok;
    ok = runChain(demo.recording, dir.filePath("chain-fft-multiband.wav"), fft, detector) && ok;
    ok = splitAlongRegions(chained, dir.filePath("chain-passage.wav"), detector) && ok;
    QLoggingCategory::setFilterRules("");
    return ok;
}

const bool demoStep = CommandRegistry::addDemoStep(
    {700, "The whole chain: regions, levelling (one band and multiband), equaliser, limiter, passages", demoChain});

} // namespace
