#pragma once

#include "TevoExport.h"

#include <string>
#include <vector>

class RMSStepDetector;
class SoundAlgo;

/// The stages that shape a level job's output: the levelling itself (one
/// amplifier, or multiband levelling), and a final look-ahead limiter with
/// true-peak detection.
class TEVO_EXPORT LevelStages {
public:
    /// FFT size of the FFT band filters when none is given.
    static constexpr unsigned kDefaultFftSize = 2048;
    /// Largest FFT size of the band filters.
    static constexpr unsigned kMaxFftSize = 65536;

    struct Options {
        bool limit = false;       ///< a make-up gain was given
        double limitDb = 0.0;     ///< make-up gain of the final limiter, dB (-60 to 60)
        bool noLimit = false;     ///< no final limiter at all: the output may clip
        bool truePeakSet = false; ///< the ceiling was given
        double truePeakDb = -1.0; ///< ceiling of the final limiter, dBTP (-20 to 0)
        bool attackSet = false;
        double attackSeconds = 0.005; ///< look-ahead of every limiter (0 to 1)
        bool releaseSet = false;
        double releaseSeconds = 0.1;        ///< limiter release (0 to 10); band amplifiers ramp over it too
        std::vector<double> crossovers;     ///< Hz, ascending; empty: single band
        bool fft = false;                   ///< FFT band filters instead of crossover filters
        unsigned fftSize = kDefaultFftSize; ///< even, SoundAlgoFFTFilter::getMinFullSize() to kMaxFftSize
        bool biquad = false;                ///< second-order crossovers instead of first-order ones

        /// Sets from text: "limit" (dB), "attack", "release" (seconds),
        /// "multiband" (F1,F2,... Hz), "true-peak" (dBTP), "fft" (size).
        /// False with `error` set on a bad value or an unknown name.
        bool set(const std::string& name, const std::string& value, std::string& error);
        /// "" when the choices go together; otherwise why not. `levelDb`
        /// is the levelling's target; `rampSet`: a ramp was given.
        std::string check(double levelDb, bool rampSet) const;
    };

    /// "" when the crossovers lie below half `sampleRate`; otherwise why not.
    static std::string checkSampleRate(const Options& options, unsigned sampleRate);

    /// The levelling stage driven by `detector`: a SoundAlgoRMSAmplifier, or
    /// a multiband amplifier whose band amplifiers all share the detector.
    /// The caller owns the node.
    static SoundAlgo* makeLevelling(const Options& options, double levelDb, RMSStepDetector* detector,
                                    double rampSeconds, int smoothing, double maxGainDb);

    /// The last stage: the limiter with true-peak detection at the ceiling
    /// whose make-up gain is `makeupDb`; with noLimit a plain gain of
    /// `makeupDb`, or null when that is 0 dB. `writerGainDb` is the gain the
    /// writer applies behind this stage (SoundWriter::getGainDb): the stage
    /// makes up for it, so that the file holds `makeupDb` and the ceiling. A
    /// ceiling the limiter cannot raise that far (above 0 dBTP in the stream)
    /// stays at 0, which leaves the file below it. The caller owns the node.
    static SoundAlgo* makeFinalLimiter(const Options& options, double makeupDb, double writerGainDb = 0.0);

    /// One line for the summaries: "3 bands split at 200,2000 Hz (...)" etc.
    static std::string describe(const Options& options);
};
