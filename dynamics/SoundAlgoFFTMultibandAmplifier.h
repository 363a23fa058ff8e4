#pragma once

#include "SoundAlgoMultibandAmplifier.h"
#include "TevoExport.h"

#include <vector>

class RMSStepDetector;

/// Multiband amplifier that filters the bands in the frequency domain.
///
/// One zero-padded forward transform feeds the band composite
/// "SoundAlgoComposite(SoundAlgoFFTMultibandAmplifier:Branches)", whose
/// branches all read the same spectra. For crossovers f0 < ... < f(n-1),
/// band 0 is a low-pass at f0, band b a band-pass from f(b-1) + 150 Hz to
/// f(b), band n a high-pass from f(n-1) + 150 Hz (equiripple FIR responses,
/// see SoundAlgoFFTFilter); each band is brought back by overlap-add. With a
/// non-zero level each band then has an amplifier and a 0 dB limiter. With
/// `sumBands` the bands are added (and, with a non-zero level, limited once
/// more at 0 dB); otherwise the node has n + 1 outputs, one per band.
///
/// The band filters are linear-phase FIRs: the output lags the input by
/// (taps - 1) / 2 frames, which the node does not report as a delay.
/// The graph is sealed after construction.
class TEVO_EXPORT SoundAlgoFFTMultibandAmplifier : public SoundAlgoMultibandAmplifier {
public:
    /// @param crossovers      crossover frequencies in Hz, ascending; empty: a
    ///                        node with no branch (no ports)
    /// @param levelDb         target level of the band amplifiers, dB; exactly 0
    ///                        builds a band splitter without amplifiers or limiters
    /// @param attackDuration  limiter look-ahead, seconds
    /// @param releaseDuration limiter release and amplifier ramp, seconds
    /// @param detector        region source shared by the band amplifiers
    /// @param fftSize         transform size in frames (each hop is fftSize - taps + 1)
    /// @param sumBands        add the bands into one output
    SoundAlgoFFTMultibandAmplifier(const std::vector<double>& crossovers, double levelDb, double attackDuration,
                                   double releaseDuration, RMSStepDetector* detector, unsigned fftSize,
                                   bool sumBands);

protected:
    ~SoundAlgoFFTMultibandAmplifier() override;
};
