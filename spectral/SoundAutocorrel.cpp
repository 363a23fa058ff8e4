#include "SoundAutocorrel.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundFFTAutocorrel.h"

SoundAutocorrel::SoundAutocorrel(unsigned size)
    : SoundAlgoComposite(nullptr, true)
{
    pushAlgo(new SoundAlgoFFTDirectCompute(size, true));
    pushAlgo(new SoundFFTAutocorrel());
    pushAlgo(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::Autocorrelation));
    setReadOnly();
}
