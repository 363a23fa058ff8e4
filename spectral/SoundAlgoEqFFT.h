#pragma once

#include "FilterType.h"
#include "SoundAlgoComposite.h"
#include "TevoExport.h"

/// The FFT equaliser: a linear convolution with the FIR of SoundAlgoFFTFilter,
/// done by overlap-add of zero-padded blocks of fftSize - taps + 1 frames.
///
/// A composite of SoundAlgoFFTDirectCompute(fftSize, zero padded),
/// SoundAlgoFFTFilter(type, freq1, freq2) and SoundAlgoFFTInverseCompute
/// (OverlapAdd), fixed after construction. The output lags the input by
/// (taps - 1) / 2 frames (223 with 447 taps), not reported as a delay, and
/// goes on after the input for less than two hops (at least hop - 1 frames,
/// the filter's whole tail, when it reads straight from the input).
class TEVO_EXPORT SoundAlgoEqFFT : public SoundAlgoComposite {
public:
    /// Frequencies in Hz (see SoundAlgoFFTFilter); `fftSize` in frames, even,
    /// at least 2; the FIR holds at most fftSize / 2 taps.
    SoundAlgoEqFFT(SoundTools::FilterType type, double freq1, double freq2, unsigned fftSize);
};
