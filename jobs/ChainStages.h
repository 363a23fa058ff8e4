#pragma once

#include "FilterType.h"
#include "TevoExport.h"

#include <string>
#include <vector>

class SoundAlgo;

/// The processing stages a process job chains, described in text as the
/// command line gives them: a name and a value.
///
///   gain       DB                       scale by DB decibels
///   eq         TYPE:FREQ[:WIDTH[:GAIN]] biquad section (see parseEq)
///   lowpass1   FREQ                     first-order low-pass, Hz (-3 dB)
///   highpass1  FREQ                     first-order high-pass, Hz
///   aweight    (no value)               A-weighting, 0 dB at 1 kHz
///   fir        TYPE:F1[:F2]             equiripple FIR by direct convolution;
///                                       TYPE lowpass, bandpass, bandstop, highpass;
///                                       F2 (above F1) for the band types
///   fft-eq     TYPE:F1[:F2][:SIZE]      the same kind of FIR applied by FFT;
///                                       SIZE even, from the filter's minimum
///                                       to kMaxFftEqSize (default kDefaultFftEqSize)
class TEVO_EXPORT ChainStages {
public:
    struct Stage {
        std::string name;
        std::string value; ///< "" for aweight
    };

    /// One equaliser section.
    struct EqBand {
        SoundTools::FilterType type = SoundTools::BandEq;
        double freqHz = 1000.0;
        double width = 1.0;  ///< octaves, or slope for the shelves; 0: Butterworth low- or high-pass
        double gainDb = 0.0; ///< peaking and shelves
    };

    /// Transform size of fft-eq without SIZE: the filter fits in half of it
    /// with room to spare, and larger transforms cost more per frame.
    static constexpr unsigned kDefaultFftEqSize = 4096;
    static constexpr unsigned kMaxFftEqSize = 1u << 22;

    /// The stage names above, in that order.
    static const std::vector<std::string>& names();
    /// False for aweight, which takes no value.
    static bool takesValue(const std::string& name);
    /// The node of `stage`; the caller owns its creation reference. Null with
    /// `error` set (naming the option, "--eq: ...") on a bad value or name.
    static SoundAlgo* make(const Stage& stage, std::string& error);

    /// Parses TYPE:FREQ[:WIDTH[:GAIN]], TYPE one of eqTypeNames(); FREQ in Hz
    /// (> 0); WIDTH in octaves or shelf slope (> 0; default 1, but 0 for
    /// lowpass and highpass: Butterworth, Q 0.707); GAIN in dB (default 0).
    static bool parseEq(const std::string& text, EqBand& band, std::string& error);
    /// "lowpass, bandpass, highpass, lowshelf, peak, highshelf".
    static std::string eqTypeNames();
    /// "lowpass, bandpass, bandstop, highpass": the types of fir and fft-eq.
    static std::string firTypeNames();
};
