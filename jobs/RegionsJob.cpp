#include "RegionsJob.h"

#include "RMSStepDetector.h"
#include "SoundReader.h"

#include <QString>

namespace {
// As for split: the regions do not depend on the block size, and small blocks
// spare the kernel zeroing fresh pages for every block.
constexpr unsigned kBlockFrames = 1u << 14;
} // namespace

bool RegionsJob::Options::set(const std::string& name, const std::string& value, std::string& error)
{
    const QString text = QString::fromStdString(value);
    double x = 0;
    const bool number = Job::parseNumber(value, x);
    if (name == "step") {
        if (number && x > 0) {
            detector.stepDb = x;
            return true;
        }
        error = QString("--step needs a number of decibels > 0, not '%1'").arg(text).toStdString();
    } else if (name == "min") {
        if (number && x >= 0) {
            detector.minRegionSeconds = x;
            return true;
        }
        error = QString("--min needs a number of seconds >= 0, not '%1'").arg(text).toStdString();
    } else if (name == "noise") {
        if (number && x <= 0) {
            detector.noiseDb = x;
            return true;
        }
        error = QString("--noise needs a number of decibels <= 0, not '%1'").arg(text).toStdString();
    } else if (name == "window") {
        if (number && x >= 0 && x <= 60) {
            detector.windowSeconds = x;
            return true;
        }
        error = QString("--window needs a number of seconds from 0 to 60, not '%1'").arg(text).toStdString();
    } else {
        error = "unknown option '" + name + "'";
    }
    return false;
}

RegionsJob::RegionsJob(Options o)
    : options(std::move(o))
{
}

RegionsJob::~RegionsJob() = default;

const RMSStepDetector* RegionsJob::detector() const
{
    return static_cast<const RMSStepDetector*>(node.get());
}

Job::Status RegionsJob::run()
{
    begin();
    res = Result();
    res.file = options.input;
    auto reader = takeInput(options.input, 0.0);
    if (!reader)
        return Failed;
    BlockFrames blocks(kBlockFrames);
    node.reset(RegionAnalysis::newDetector(options.detector));
    auto* found = static_cast<RMSStepDetector*>(node.get());
    const Status status = runNode(*found, *reader, nullptr, "regions");
    if (status != Ok)
        return status;
    res.sampleRate = reader->getSampleRate();
    if (options.estimateNoise) {
        res.noiseEstimated = true;
        res.estimatedNoiseDb = RegionAnalysis::estimateQuietest(*found);
        found->applyNoise(res.estimatedNoiseDb);
    }
    if (options.merge)
        found->mergeRegions();
    res.noiseLevelDb = found->getNoiseLevelDb();
    res.passages = found->GetSegmentsNumber();
    res.regions = RegionAnalysis::regions(*found, res.sampleRate);
    return Ok;
}

QJsonObject RegionsJob::resultJson() const
{
    QJsonObject root;
    root["file"] = QString::fromStdString(res.file);
    root["sampleRate"] = static_cast<int>(res.sampleRate);
    root["noiseLevelDb"] = res.noiseLevelDb;
    root["segments"] = res.passages;
    root["regions"] = RegionAnalysis::toJson(res.regions);
    return root;
}
