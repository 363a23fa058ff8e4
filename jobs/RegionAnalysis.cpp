#include "RegionAnalysis.h"

#include "RMSStepDetector.h"
#include "SoundTools.h"

#include <QJsonObject>

#include <algorithm>
#include <cmath>

RMSStepDetector* RegionAnalysis::newDetector(const Settings& s)
{
    return new RMSStepDetector(s.stepDb, s.minRegionSeconds, s.noiseDb, s.windowSeconds, RMSStepDetector::NoOutput);
}

double RegionAnalysis::estimateQuietest(const RMSStepDetector& detector)
{
    return detector.estimateNoise(kQuietSeconds, kSilenceRangeDb);
}

RegionAnalysis::BelowRest RegionAnalysis::estimateBelowRest(const RMSStepDetector& detectorRef)
{
    // size and getRegion take the detector's read lock, which is not const.
    auto& detector = const_cast<RMSStepDetector&>(detectorRef);
    BelowRest result;
    result.relativeDb = -kSilenceRangeDb;
    double reference = 0.0; // power: quieter channel of the loudest region
    const int count = detector.size();
    for (int i = 0; i < count; ++i) {
        const RMSStepDetector::Region r = detector.getRegion(i);
        if (std::max(r.powerLeft, r.powerRight) > 0.0 && r.length > 0)
            reference = std::max(reference, std::min(r.powerLeft, r.powerRight));
    }
    if (!(reference > 0.0))
        return result;
    const double referenceDb = 10.0 * std::log10(reference);

    std::vector<double> levels; // dB relative to the reference, louder channel
    for (int i = 0; i < count; ++i) {
        const RMSStepDetector::Region r = detector.getRegion(i);
        const double level = std::max(r.powerLeft, r.powerRight);
        if (!(level > 0.0) || r.length <= 0)
            continue;
        const double db = 10.0 * std::log10(level) - referenceDb;
        if (db > -kSilenceRangeDb)
            levels.push_back(db);
    }
    std::sort(levels.begin(), levels.end());
    if (!levels.empty() && levels.front() <= -kGapDb) {
        double top = levels.front();
        for (size_t i = 1; i < levels.size(); ++i) {
            if (levels[i] > -kGapDb || levels[i] - top > kClusterDb)
                break;
            top = levels[i];
        }
        // A little above the loudest noise region, so that it is marked too.
        result.relativeDb = std::min(-kGapDb, top + 1.0);
    }
    result.absoluteDb = result.relativeDb + referenceDb;
    return result;
}

std::vector<RegionAnalysis::Region> RegionAnalysis::regions(const RMSStepDetector& detectorRef, unsigned sampleRate)
{
    auto& detector = const_cast<RMSStepDetector&>(detectorRef);
    const auto powerDb = [](double power) { return SoundTools::linearToDb(std::sqrt(std::max(power, 0.0))); };
    std::vector<Region> list;
    const int count = detector.size();
    for (int i = 0; i < count; ++i) {
        const RMSStepDetector::Region r = detector.getRegion(i);
        Region region;
        region.start = r.start;
        region.length = r.length;
        region.startSeconds = sampleRate > 0 ? double(r.start) / sampleRate : 0.0;
        region.lengthSeconds = sampleRate > 0 ? double(r.length) / sampleRate : 0.0;
        region.powerLeftDb = powerDb(r.powerLeft);
        region.powerRightDb = powerDb(r.powerRight);
        region.count = r.count;
        region.noise = r.isNoise;
        list.push_back(region);
    }
    return list;
}

QJsonArray RegionAnalysis::toJson(const std::vector<Region>& regions)
{
    QJsonArray list;
    for (const Region& r : regions) {
        QJsonObject region;
        region["start"] = double(r.start);
        region["length"] = double(r.length);
        region["startSeconds"] = r.startSeconds;
        region["lengthSeconds"] = r.lengthSeconds;
        region["powerLeftDb"] = r.powerLeftDb;
        region["powerRightDb"] = r.powerRightDb;
        region["count"] = r.count;
        region["noise"] = r.noise;
        list.append(region);
    }
    return list;
}
