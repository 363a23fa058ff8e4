#pragma once

#include "FilterBuilder.h"
#include "FilterType.h"

namespace SoundTools {

/// Designs second-order equaliser sections: the audio-EQ-cookbook biquads,
/// bandwidth form for the pass filters and the peaking filter, slope form for
/// the shelves.
///
/// Parameters, effective at the next buildFilter:
/// - `freq` in Hz. LowPass, HighPass and BandPass use it as given inside
///   (0, Fs/2); BandEq and the shelves clamp it to [1 Hz, Fs/2].
/// - `width`: bandwidth in octaves for LowPass, BandPass, HighPass and BandEq
///   (BandEq clamps it to [0.0001, 4]); shelf slope for the shelves, clamped
///   to [0.0001, 1] (1 is the steepest slope without overshoot).
/// - `gain` in dB, used by BandEq and the shelves.
///
/// At the top of the band the formulas above stop doing what was asked, and
/// these rules take over: a LowPass at 0.49 Fs or above passes everything
/// (a unity section); a LowPass, HighPass, BandPass or BandEq at 0.49 Fs or
/// above, or whose upper band edge freq * 2^(width/2) passes 0.49 Fs, is
/// designed at most at 0.49 Fs with its width read without the cookbook's
/// w0 / sin(w0) stretch (which grows without bound there and spreads the
/// section over the whole band), so it acts on the top of the band only. A
/// LowPass or HighPass with a width of 0 or below is Butterworth (Q 1/sqrt 2).
///
/// Whatever the parameters (a live setter may pass 0, Fs/2, a frequency above
/// it, a negative width), the kernel has finite coefficients and poles inside
/// the unit circle: where the design above would give NaN, an aliased or an
/// unstable filter, the frequency is brought into [1 Hz, 0.49 Fs], the width
/// to at least 0.0001, the gain into [-120, 120] dB, the bandwidth term is
/// capped and the normaliser kept in double precision, and the section is
/// designed again.
class TEVO_EXPORT BiquadEqBuilder : public FilterBuilder {
public:
    BiquadEqBuilder(FilterType type, double freq, double width, double gain);

    void setFreq(double freqHz) { freq = freqHz; }
    void setWidth(double octavesOrSlope) { width = octavesOrSlope; }
    void setGain(double gainDb) { gain = gainDb; }

    /// A BiquadFilter with feed-forward {b0, b1, b2} and feedback {1, a1, a2}.
    /// BandStop (or any other unsupported kind) is reported on Qt's critical
    /// log and gives the previous design again, or a unity section when there
    /// is none.
    std::shared_ptr<Filter> buildFilter(unsigned sampleRate) override;

private:
    // Each writes b0 .. a2 for the rate. `safe` selects the guarded design
    // described in the class comment.
    void buildLowPass(double sampleRate, bool safe = false);
    void buildBandPass(double sampleRate, bool safe = false);
    void buildHighPass(double sampleRate, bool safe = false);
    void buildLowShelf(double sampleRate, bool safe = false);
    void buildBandEq(double sampleRate, bool safe = false);
    void buildHighShelf(double sampleRate, bool safe = false);
    void buildShelf(double sampleRate, bool safe, bool high);
    /// w0 and alpha of the pass filters.
    void passAlpha(double sampleRate, bool safe, double& c, double& alpha) const;
    bool design(double sampleRate, bool safe);
    bool isUsable() const;

    FilterType type;
    double freq;
    double width;
    double gain;
    // The last design, already divided by the cookbook's a0. A unity section
    // until the first successful build.
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
};

} // namespace SoundTools
