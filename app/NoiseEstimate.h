#pragma once

class RMSStepDetector;

/// tevo's own estimate of the noise level of a recording, from the regions of
/// an analysed detector.
///
/// The library's estimate takes the quietest second of material per five
/// minutes for noise, whatever it holds: on speech it marks a quiet talker or
/// a quiet section as noise. Here noise is only what lies well below all the
/// rest: the quietest regions, at least kGapDb below the loudest, grouped
/// while each is within kClusterDb of the one below it. A recording with no
/// such regions has no noise (only digital silence is marked).
namespace NoiseEstimate {

struct Result {
    /// Relative to the quieter channel of the loudest region, the reference
    /// of RMSStepDetector::applyNoise.
    double relativeDb = -60.0;
    /// The same level in dB relative to full scale.
    double absoluteDb = -100.0;
};

/// Regions quieter than the loudest by this much, or more, may be noise.
constexpr double kGapDb = 25.0;
/// Quiet regions closer together than this form one level of noise.
constexpr double kClusterDb = 6.0;
/// Regions more than this far below the loudest are digital silence.
constexpr double kSilenceRangeDb = 60.0;

Result estimate(const RMSStepDetector& detector);

} // namespace NoiseEstimate
