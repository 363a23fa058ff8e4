#pragma once

#include "SoundAlgoComposite.h"
#include "TevoExport.h"

#include <vector>

class SoundAlgoStats;

/// Splits a stereo stream into frequency bands with FFT filters and measures
/// the level of each band (RMS and peak, SoundAlgoStats), optionally adding
/// the bands together again as its output.
///
/// With crossovers f0 < f1 < ... < f(n-1): band 0 is a LowPass at f0, band b
/// a BandPass from f(b-1) to f(b), band n a HighPass at f(n-1) (see
/// SoundAlgoFFTFilter for the slopes). The transform size is 8192. Without
/// `sum` the composite has one output per band (that band's sliding RMS), so
/// it runs inside a graph that takes them all; with `sum` it has one output,
/// the sum of those, and can run on its own. An empty list of crossovers
/// gives an empty composite that cannot run.
///
/// Each band is measured by a SoundAlgoBandMeter (a SoundAlgoStats of type
/// RMSAndStats and a 1 s window) that keeps its window itself: the band
/// buffers hold a block, not a second of history, and the sliding RMS lags
/// half a second, which the composite declares and a run takes back out.
/// The statistics count every frame of the stream.
class TEVO_EXPORT SoundAlgoFFTMultiStats : public SoundAlgoComposite {
public:
    /// `freqs`: crossover frequencies in Hz, ascending. The unsigned argument
    /// is accepted for compatibility and not used.
    SoundAlgoFFTMultiStats(std::vector<double>& freqs, unsigned unused, bool sum);

    /// The statistics node of band `band` (0 .. freqs.size()); null outside
    /// that range. Owned by the composite; its results stay after a run.
    SoundAlgoStats* GetStats(int band);
    /// Number of bands: crossovers + 1 (0 for an empty composite).
    unsigned getBandNumber() const { return static_cast<unsigned>(stats.size()); }

    /// Transform size of the band filters.
    static constexpr unsigned sFFTSize = 8192;

private:
    std::vector<SoundAlgoStats*> stats; ///< not owned: the inner branches hold them
};
