#pragma once

#include "SoundAlgoMultibandAmplifier.h"
#include "TevoExport.h"

#include <vector>

class RMSStepDetector;

/// Multiband amplifier that splits the bands with recursive crossover filters
/// in the time domain.
///
/// For crossovers f0, f1, ..., f(n-1) the graph is a cascade of splits: the
/// first SoundAlgoFilterSplit separates the band below f0 from the rest; the
/// low band runs through its own amplifier and a 0 dB band limiter, the rest
/// is split again at f1 inside the same band composite, and so on; the band
/// above f(n-1) has an amplifier and no band limiter. Each split's two paths
/// are summed by a two-input SoundAlgoAdd, and the sum passes a final limiter
/// at -0.3 dB. n + 1 amplifiers, n band limiters, one final limiter. The
/// inner composite of the split at f is named
/// "SoundAlgoComposite(FilterMultibandAmplifier:<f in whole Hz>)".
///
/// A split output 0 plus output 1 is exactly the input, so with the
/// amplifiers at unity and no limiting the bands add up to the input.
class TEVO_EXPORT SoundAlgoFilterMultibandAmplifier : public SoundAlgoMultibandAmplifier {
public:
    /// @param crossovers      crossover frequencies in Hz, in splitting order
    ///                        (ascending gives the bands in ascending order);
    ///                        empty: a node with no branch (no ports)
    /// @param levelDb         target level of every band amplifier, dB
    /// @param attackDuration  limiter look-ahead, seconds
    /// @param releaseDuration limiter release and amplifier ramp, seconds
    /// @param detector        region source shared by all band amplifiers (each
    ///                        holds a reference on it)
    /// @param biquad          second-order (biquad, 1 octave) low-pass crossovers
    ///                        instead of first-order ones
    /// @param smoothing       smoothing of the band amplifiers (see
    ///                        SoundAlgoRMSAmplifier)
    SoundAlgoFilterMultibandAmplifier(const std::vector<double>& crossovers, double levelDb, double attackDuration,
                                      double releaseDuration, RMSStepDetector* detector, bool biquad,
                                      int smoothing);

protected:
    ~SoundAlgoFilterMultibandAmplifier() override;

    /// Builds the tree from crossover `index` on into `parent`.
    void recursiveBuildBranch(SoundAlgoComposite* parent, const std::vector<double>& crossovers, unsigned index,
                              double levelDb, double attackDuration, double releaseDuration,
                              RMSStepDetector* detector, bool biquad, int smoothing);
};
