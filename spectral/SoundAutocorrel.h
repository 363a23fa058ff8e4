#pragma once

#include "SoundAlgoComposite.h"
#include "TevoExport.h"

/// Block by block normalised autocorrelation of a stereo stream.
///
/// Every block of size/2 input frames is zero-padded to `size`, its power
/// spectrum transformed back, and the block's size/2 output frames are its
/// lags 0 .. size/2 - 1, lag j divided by size * max(size/2 - j, 50): lag 0
/// of a block is its mean square. A composite of SoundAlgoFFTDirectCompute
/// (zero padded), SoundFFTAutocorrel and SoundAlgoFFTInverseCompute
/// (Autocorrelation), fixed after construction.
class TEVO_EXPORT SoundAutocorrel : public SoundAlgoComposite {
public:
    /// `size`: transform size in frames (even, at least 2).
    explicit SoundAutocorrel(unsigned size);
};
