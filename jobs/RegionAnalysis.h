#pragma once

#include "TevoExport.h"

#include <QJsonArray>

#include <cstdint>
#include <vector>

class RMSStepDetector;

/// The level regions of a recording as the jobs find them: the detector's
/// settings and the two ways of telling noise from signal, in one place.
class TEVO_EXPORT RegionAnalysis {
public:
    /// How the detector cuts a recording into regions.
    struct Settings {
        double stepDb = 5.0;           ///< level change that starts a new region, dB
        double minRegionSeconds = 5.0; ///< shorter regions join their neighbour
        double noiseDb = -40.0;        ///< regions this far below the loudest are noise, dB (<= 0)
        double windowSeconds = 0.2;    ///< window of the level measurement
    };

    /// One region, in plain figures.
    struct Region {
        int64_t start = 0;  ///< first frame, absolute in the input
        int64_t length = 0; ///< frames
        double startSeconds = 0.0;
        double lengthSeconds = 0.0;
        double powerLeftDb = -100.0;  ///< mean window power of the left channel, dB
        double powerRightDb = -100.0; ///< the same, right channel
        int count = 0;                ///< windows measured
        bool noise = false;
    };

    /// Quietest material that the plain estimate takes for noise: one second
    /// per five minutes of recording.
    static constexpr double kQuietSeconds = 1.0;
    /// Regions more than this far below the loudest are digital silence, dB.
    static constexpr double kSilenceRangeDb = 60.0;
    /// The estimate below the rest: regions at least this far below the
    /// loudest may be noise, dB ...
    static constexpr double kGapDb = 25.0;
    /// ... and quiet regions closer together than this form one level of noise.
    static constexpr double kClusterDb = 6.0;

    /// A detector with these settings that passes nothing on (NoOutput); the
    /// caller owns the creation reference.
    static RMSStepDetector* newDetector(const Settings& settings);

    /// The plain estimate of an analysed detector: the quietest kQuietSeconds
    /// per five minutes, whatever they hold; dB relative to the quieter
    /// channel of the loudest region (what applyNoise takes). Suits music and
    /// recordings with real pauses.
    static double estimateQuietest(const RMSStepDetector& detector);

    /// The estimate for speech: noise is only what lies well below all the
    /// rest (the quietest regions, at least kGapDb below the loudest, grouped
    /// while each is within kClusterDb of the one below it), so a quiet
    /// talker is not taken for noise. A recording without such regions has no
    /// noise (only digital silence is marked).
    struct BelowRest {
        double relativeDb = -60.0;  ///< relative to the quieter channel of the loudest region
        double absoluteDb = -100.0; ///< the same level in dB relative to full scale
    };
    static BelowRest estimateBelowRest(const RMSStepDetector& detector);

    /// The detector's regions in plain figures; times from `sampleRate`.
    static std::vector<Region> regions(const RMSStepDetector& detector, unsigned sampleRate);
    static QJsonArray toJson(const std::vector<Region>& regions);
};
