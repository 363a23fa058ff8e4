#pragma once

#include "SoundTools.h"

#include <cstddef>

/// The oversampler behind the library's true-peak figures: the limiter's
/// ceiling and the loudness meter's reading use the same one, so that a file
/// limited to -1 dBTP reads -1 dBTP or less when measured again.
///
/// The values between two frames (at 1/4, 2/4 and 3/4) come from
/// Kaiser-windowed sinc interpolators of 2 x kHalfTaps taps, each normalised
/// to unit gain at DC. Their ripple reads peaks a little high rather than low,
/// which is the safe side for a ceiling.
///
/// Internal to the dynamics nodes; not part of the public interface.
class TruePeakInterpolator {
public:
    static constexpr int kHalfTaps = 16;
    static constexpr int kTaps = 2 * kHalfTaps;
    static constexpr int kPhases = 4;

    /// The one table, built on first use.
    static const TruePeakInterpolator& get();

    /// out[j]: the largest magnitude, over both channels, of the oversampled
    /// signal strictly between x[j + kHalfTaps - 1] and x[j + kHalfTaps], for
    /// j = 0 ... count - 1 (x holds count + kTaps - 1 frames). `phaseStep` 1
    /// looks at 1/4, 2/4 and 3/4 (4x oversampling), 2 at 2/4 only (2x).
    /// The sums run in the same order on every processor, so that a file
    /// limits and measures alike wherever it is processed.
    void between(const SoundTools::StereoFrame<double>* x, size_t count, double* out, int phaseStep = 1) const;

    /// No interpolated value exceeds this many times the largest magnitude of
    /// the kTaps frames it is made from (the largest sum of |tap| over the
    /// phases): a cheap bound that lets a scan skip frames that cannot raise
    /// the peak found so far.
    double gainBound() const { return bound; }

private:
    TruePeakInterpolator();
    /// Each tap twice, once per channel, to run over interleaved frames.
    alignas(32) double taps[kPhases][2 * kTaps] = {};
    double bound = 0.0;
};
