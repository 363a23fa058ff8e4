#pragma once

#include "FilterType.h"
#include "SoundAlgoFFT.h"
#include "SoundAlgoLatencyInterface.h"
#include "TevoExport.h"

#include <cstdint>
#include <vector>

/// Multiplies every spectrum flowing through it by the frequency response of
/// an equiripple linear-phase FIR filter (LowPass, BandPass, BandStop or
/// HighPass; 0.5 dB pass-band ripple, -60 dB stop band, 0.005 * Fs
/// transitions).
///
/// The FIR has 447 taps, or bins - 1 when the spectra are too short for them
/// (256 taps with a transform of 512); when its last band passes (HighPass,
/// BandStop) an even length gets one more tap, since a symmetric filter of
/// even length is 0 at half the sample rate. Behind a zero-padded
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
    /// Frequencies in Hz, used as at least 0.005 and at most 0.5 times the
    /// sample rate; `freq2` is the upper edge of BandPass and BandStop.
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
};
