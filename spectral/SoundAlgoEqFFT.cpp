#include "SoundAlgoEqFFT.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"

SoundAlgoEqFFT::SoundAlgoEqFFT(SoundTools::FilterType type, double freq1, double freq2, unsigned fftSize)
    : SoundAlgoComposite(nullptr, true)
{
    auto* direct = new SoundAlgoFFTDirectCompute(fftSize, true);
    auto* filter = new SoundAlgoFFTFilter(type, freq1, freq2);
    direct->setHopRule(SoundAlgoFFTFilter::hopRule({filter}, direct->getSize()));
    pushAlgo(direct);
    pushAlgo(filter);
    pushAlgo(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::OverlapAdd));
    setReadOnly();
}
