#pragma once

#include "FilterType.h"
#include "RemezDesign.h"
#include "SoundAlgo.h"
#include "SoundAlgoLatencyInterface.h"
#include "TevoExport.h"

#include <cstdint>
#include <string>
#include <vector>

struct fftw_plan_s;

/// Filters a stereo stream by direct convolution with an equiripple
/// linear-phase FIR filter (LowPass, BandPass, BandStop or HighPass).
///
/// The length follows from a transition width derived from `freq1` (Kaiser's
/// estimate for 0.5 dB pass-band ripple and -40 dB stop band): twice
/// freq1 / Fs for LowPass and BandStop, a quarter of it for the others, so
/// the lower the frequency the longer the filter (LowPass 1000 Hz at
/// 44100 Hz: 35 taps; HighPass 1000 Hz: 137 taps). A symmetric filter of even
/// length is always 0 at half the sample rate, so when the last band passes
/// (HighPass, BandStop) an even length gets one more tap. Where that
/// transition leaves no stop band (a LowPass above Fs/6, a BandStop whose
/// edges are closer than 5:1) it narrows to the widest that leaves one (see
/// planEqualRipple). The design is measured against its bands; one that
/// misses them is tried up to three times a quarter longer, then refused
/// with a text naming the band, as is one that needs more than 32768 taps or
/// has an edge at or above Fs/2 (freq2 there makes a BandPass a high-pass
/// and a BandStop a low-pass).
///
/// Filters of fewer than 256 taps convolve directly: a block large enough
/// (sParallelMinProducts) is spread over the threads of an OpenMP team, and
/// every block is vectorised for the widest vector unit of
/// the CPU found at run time, every output frame summed in the same order on
/// every path, so the output does not depend on the thread count or on the
/// CPU. Longer filters convolve by FFT (overlap-save with a transform of at
/// least four times the length), which gives the direct sum to within 1e-9
/// of full scale at a fraction of its cost; the segments, hence the output,
/// do not depend on the thread count either.
///
/// Geometry: the window of numTaps frames is centred on the output frame
/// (delay (numTaps - 1) / 2 behind an in overlap of numTaps - 1), so the
/// output is lined up with the input: a run gives an impulse back at its own
/// position (lag 0, see SoundAlgoLatencyInterface).
class TEVO_EXPORT SoundAlgoEqFIR : public SoundAlgo, public SoundAlgoLatencyInterface {
public:
    /// Frequencies in Hz: `freq1` is the cut-off (or lower band edge) and must
    /// be positive; `freq2` the upper band edge of BandPass and BandStop. Both
    /// are used as at most half the sample rate.
    SoundAlgoEqFIR(SoundTools::FilterType type, double freq1, double freq2);

    /// "SoundAlgoEqFIR".
    const char* getName() const override;

    /// Linear output factor 10^(dB/20), used from the next block on. Not
    /// synchronised with a running process().
    void SetOutputGain(double dB);

    SoundTools::Status process() override;
    /// (numTaps - 1) / 2 for `sampleRate`, the centre of the window; 0 when
    /// the design is refused. The design is made by the first call for a rate
    /// (it fixes the length).
    unsigned getDelay(unsigned sampleRate) const override;
    /// numTaps - 1: the convolution's history.
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// 0: the linear-phase response is centred, the output lies on the input.
    unsigned getOutputLag(unsigned sampleRate) const override { return (void)sampleRate, 0u; }
    /// Initialises the node with the filter designed for the rate. Fails (1,
    /// error text set) for an unsupported type and for a design that is
    /// refused (see the class comment).
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    /// Releases the taps.
    void endProcess(int status, unsigned frames) override;

    /// Filter length for the last sample rate asked about; 0 until then.
    unsigned getNumTaps() const { return numTaps; }
    /// Longest filter the node designs.
    static constexpr unsigned sMaxTaps = 32768;
    /// From this length on the convolution runs by FFT.
    static constexpr unsigned sFftTaps = 256;
    /// Products (taps times frames, or size log2 size per FFT segment) a
    /// block must hold before it is spread over the OpenMP threads.
    static constexpr uint64_t sParallelMinProducts = uint64_t(1) << 24;

protected:
    ~SoundAlgoEqFIR() override;

private:
    /// Derives f1, f2, transition, stopWeight and numTaps for `sampleRate`;
    /// numTaps stays 0 when freq1 gives no usable length.
    void InitStaticParams(double sampleRate) const;
    /// What the design is asked for at `sampleRate`.
    SoundTools::EqualRippleSpec designSpec(double sampleRate) const;

    SoundTools::FilterType type;
    double freq1;
    double freq2;
    double outputGain = 1.0;
    std::vector<double> taps; ///< h reversed: taps[k] = h[numTaps - 1 - k]; empty outside a run
    mutable double f1 = 0.0;
    mutable double f2 = 0.0;
    mutable uint32_t numTaps = 0;
    mutable double transition = 0.0;
    mutable double stopWeight = 0.0;
    mutable double paramsRate = 0.0;          ///< the rate the cached values were derived for
    mutable SoundTools::EqualRipplePlan plan; ///< bands and Kaiser's length for paramsRate
    mutable std::vector<double> designed;     ///< the taps for paramsRate, first tap first
    mutable std::string designError;          ///< why there are none
    // The FFT convolution of long filters, set up by initProcess.
    unsigned fftSize = 0;         ///< 0: direct convolution
    std::vector<double> response; ///< transform of h, scaled by 1 / fftSize (complex pairs)
    fftw_plan_s* forward = nullptr;
    fftw_plan_s* inverse = nullptr;
    struct Scratch {
        double* time;
        double* spectrum;
    };
    std::vector<Scratch> scratch; ///< per thread, made with the plans
    void releaseFft();
    SoundTools::Status processFft(const double* src, double* dest, unsigned count);
};
