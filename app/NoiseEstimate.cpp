#include "NoiseEstimate.h"

#include "RMSStepDetector.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace NoiseEstimate {

Result estimate(const RMSStepDetector& detectorRef)
{
    // size and getRegion take the detector's read lock, which is not const.
    auto& detector = const_cast<RMSStepDetector&>(detectorRef);
    Result result;
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

} // namespace NoiseEstimate
