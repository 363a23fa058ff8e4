// Spectral and FIR stages of `tevo process`: --fir (direct convolution with
// an equiripple FIR) and --fft-eq (the same kind of filter applied by FFT
// overlap-add).

#include "ChainStages.h"
#include "CommandRegistry.h"

#include "SoundAlgoFFTFilter.h"

namespace {

const bool firOption = CommandRegistry::addChainOption(
    {"fir", "TYPE:F1[:F2]",
     QString("Linear-phase FIR filter by direct convolution: TYPE one of %1; F1 the cut-off (or lower edge) "
             "in Hz, F2 the upper edge of bandpass and bandstop. The lower F1, the longer the filter "
             "(lowpass:1000 has 35 taps, highpass:100 1363, at most 32768); a filter that cannot meet its "
             "0.5 dB pass and -40 dB stop bands is refused with the reason.")
         .arg(QString::fromStdString(ChainStages::firTypeNames()))});

const bool fftEqOption = CommandRegistry::addChainOption(
    {"fft-eq", "TYPE:F1[:F2][:SIZE]",
     QString("Linear-phase FIR filter (-60 dB stop band) applied by FFT: TYPE one of %1; F1, F2 "
             "as for --fir; SIZE the transform size in frames, even, from %2 (default %3). The filter has %4 "
             "taps, more when edges below 110 Hz or close together need narrower transitions, at most SIZE/2; "
             "a filter that does not fit or cannot meet its bands is refused with the reason.")
         .arg(QString::fromStdString(ChainStages::firTypeNames()))
         .arg(SoundAlgoFFTFilter::getMinFullSize())
         .arg(ChainStages::kDefaultFftEqSize)
         .arg(SoundAlgoFFTFilter::getFullTapCount())});

} // namespace
