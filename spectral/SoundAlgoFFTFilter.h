#pragma once

#include "FilterType.h"
#include "SoundAlgoFFT.h"
#include "SoundAlgoLatencyInterface.h"
#include "TevoExport.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// Multiplies every spectrum flowing through it by the frequency response of
/// an equiripple linear-phase FIR filter (LowPass, BandPass, BandStop or
/// HighPass; 0.5 dB pass-band ripple, -60 dB stop band).
///
/// The transitions are 0.005 * Fs wide where the edges leave room for that;
/// closer to 0, to each other or to half the rate they narrow to what fits
/// (half of freq1 below a pass band, half of the room up to Fs/2 above one,
/// a third of a band-stop's width), and the FIR grows from 447 taps to
/// Kaiser's length for the narrowest transition, odd, at most bins - 1 (what
/// a zero-padded half block holds). The designed response is measured against
/// its bands; a design that misses them even a few lengths longer, or needs
/// more taps than the transform holds, fails initialisation with a text that
/// names the band and the remedy. freq2 of BandPass at or above Fs/2 makes a
/// high-pass, of BandStop a low-pass. Behind a zero-padded
/// SoundAlgoFFTDirectCompute and before an overlap-add inverse this is a
/// linear convolution with those taps; the filtered signal then lags by
/// (taps - 1) / 2 frames. Spectra carry no frame positions to move, so the
/// node declares that lag through SoundAlgoLatencyInterface and the loop (or
/// an enclosing composite, for a sibling branch) compensates it.
///
/// The response is designed for the run's sample rate and transform size
/// when the input is wired, and kept while neither changes.
class TEVO_EXPORT SoundAlgoFFTFilter : public SoundAlgoFFT, public SoundAlgoLatencyInterface {
public:
    /// Frequencies in Hz, positive and below half the sample rate (else the
    /// design is refused); `freq2` is the upper edge of BandPass and BandStop.
    SoundAlgoFFTFilter(SoundTools::FilterType type, double freq1, double freq2);

    const char* getName() const override;
    SoundTools::Status process() override;

    unsigned getInFrameSize() const override;
    unsigned getOutFrameSize() const override;
    unsigned getInElementSize() const override;
    unsigned getOutElementSize() const override;

    void updateOutput() override;
    void endProcess(int status, unsigned frames) override;

    /// (taps - 1) / 2 frames once designed (a run's initialisation), else 0.
    unsigned getOutputLag(unsigned sampleRate) const override
    {
        return (void)sampleRate, tapCount > 0 ? (tapCount - 1) / 2 : 0u;
    }

    /// Taps of the filter when the spectra hold enough bins: Kaiser's
    /// estimate for the fixed transition, made odd (447).
    static unsigned getFullTapCount();
    /// Smallest power-of-two transform size whose spectra hold the full
    /// filter, so that every filter of that size lags alike (1024).
    static unsigned getMinFullSize();

    /// Taps of the FIR designed for `sampleRate` in spectra of `bins` bins
    /// (made once per pair and kept); 0 when that design is refused.
    unsigned designFor(unsigned sampleRate, unsigned bins) const;

    /// The hop of a zero-padded SoundAlgoFFTDirectCompute of `size` frames
    /// feeding `filters` (which must outlive it): size - taps + 1 new frames
    /// per transform for the longest of their designs at the run's rate, the
    /// most that keeps every convolution linear.
    static std::function<unsigned(unsigned)> hopRule(std::vector<const SoundAlgoFFTFilter*> filters, unsigned size);

    /// Taps of the designed FIR (0 before the first design).
    unsigned getTapCount() const { return tapCount; }
    /// The designed FIR, first tap first (empty before the first design).
    const std::vector<double>& getTaps() const { return firTaps; }

protected:
    ~SoundAlgoFFTFilter() override;
    /// Always shares the feeding node's spectra; designs the response only
    /// when the bin count or the sample rate changed. Fails without a feeding
    /// node or for an unsupported type.
    SoundTools::Status initInputBuffer() override;

private:
    SoundTools::Status FillFilter();

    double freq1;
    double freq2;
    SoundTools::FilterType type;
    std::vector<double> response; ///< bins complex values (re, im)
    uint32_t bins = 0;
    unsigned designRate = 0;
    unsigned tapCount = 0;
    std::vector<double> firTaps;
    mutable unsigned designedRate = 0;
    mutable unsigned designedBins = 0;
    mutable std::vector<double> designed; ///< taps for designedRate and designedBins
    mutable std::string designError;      ///< why there are none
};
