#pragma once

#include "SoundAlgo.h"
#include "TevoExport.h"

#include <cstdint>

/// Common base of the FFT nodes and of the spectral nodes between them.
///
/// Spectral buffers (stereo, frame size = bins = transform size / 2 + 1,
/// element size 2) hold one spectrum per frame: bin k of channel c has its real
/// part at index (k * 2 + c) * 2 and its imaginary part right after. The
/// spectra of a block are numbered from the absolute position of the first
/// time frame they cover, one position per spectrum, so that an inverse node
/// can place the time frames it makes at that position.
class TEVO_EXPORT SoundAlgoFFT : public SoundAlgo {
public:
    SoundAlgoFFT();

    /// Absolute position of the next output frame (or spectrum) to write.
    int getOutOrigin() const override;

    /// The node feeding this one in the current run (not owned); null outside
    /// a run. Lets an inverse transform find the direct transform that
    /// numbers the spectra it receives.
    const SoundAlgo* getFeedingNode() const { return previous; }

protected:
    /// Lays out the output buffers for a block whose new frames (or spectra)
    /// start at absolute position `first`: each buffer keeps, in front of
    /// them, the getOutBufferOverlap() positions before `first` as its margin
    /// (the frames it held there, silence for any it did not hold) and then
    /// holds `frames` new ones. Never drops a margin frame, even when a block
    /// brought nothing new, and grows a buffer without losing its margin.
    void placeOutput(int first, unsigned frames);

    int32_t outOrigin = 0;
};
