#include "SoundAlgoEqFFT.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"

SoundAlgoEqFFT::SoundAlgoEqFFT(SoundTools::FilterType type, double freq1, double freq2, unsigned fftSize)
    : SoundAlgoComposite(nullptr, true)
{
    pushAlgo(new SoundAlgoFFTDirectCompute(fftSize, true));
    pushAlgo(new SoundAlgoFFTFilter(type, freq1, freq2));
    pushAlgo(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::OverlapAdd));
    setReadOnly();
}
