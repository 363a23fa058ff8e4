#pragma once

#include "SoundAlgoFFT.h"
#include "SoundFFTPlanner.h"
#include "TevoExport.h"

#include <cstdint>
#include <vector>

/// Turns a stereo stream into spectra, one spectrum per output frame.
///
/// With `zeroPadded` false each spectrum is the transform of `size`
/// consecutive frames and spectra do not overlap (hop = size). With
/// `zeroPadded` true each spectrum is the transform of size/2 new frames
/// followed by size/2 zeros (hop = size/2), the block of a linear convolution
/// by overlap-add. No window, no scaling. A spectrum is numbered with the
/// position of its first frame.
///
/// Exact for any block size and stream length. A time frame can only be
/// rebuilt once its whole hop has been transformed, so the node looks
/// hop - 1 frames ahead: it keeps them as input history (its in overlap) and
/// tells the inverse transforms behind it, through getEmitEnd(), to hand on
/// per block exactly the frames a node with that look-ahead would, which
/// keeps an FFT branch in step with its sibling branches. Frames of an
/// unfinished hop are carried by the node itself from block to block, and
/// the node asks for hop - 1 frames of silence after the stream (its sample
/// shift), so that the last partial hop is transformed padded with zeros
/// wherever the node sits in a graph. No delay: a chain with an inverse
/// transform gives its frames back at their own positions, followed by less
/// than two hops of tail; when the node reads straight from the input (the
/// reader then pads the end too) that tail is at least hop - 1 frames long,
/// enough for the whole convolution tail of a filter of up to hop taps.
///
/// One FFTW plan per run, made when the run starts.
class TEVO_EXPORT SoundAlgoFFTDirectCompute : public SoundAlgoFFT {
public:
    /// `size`: transform size in frames, rounded down to even; it must be at
    /// least 2 (initProcess fails otherwise).
    SoundAlgoFFTDirectCompute(unsigned size, bool zeroPadded);

    const char* getName() const override;
    SoundTools::Status process() override;

    /// Bins per spectrum: size / 2 + 1.
    unsigned getOutFrameSize() const override;
    unsigned getOutElementSize() const override;
    /// Hop - 1 frames of look-ahead.
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// Hop - 1 frames of silence complete the last partial hop.
    unsigned getSampleShift(unsigned sampleRate) const override;

    void updateOutput() override;
    void endProcess(int status, unsigned frames) override;

    unsigned getSize() const { return size; }
    bool isZeroPadded() const { return zeroPadded; }
    /// New frames per spectrum: size / 2 when zero padded, else size.
    unsigned getHop() const { return zeroPadded ? size / 2 : size; }
    /// End (exclusive, absolute position) of the time frames that inverse
    /// transforms fed by this node hand on in the current block: the input
    /// available minus the look-ahead. Set by updateOutput.
    int64_t getEmitEnd() const { return emitEnd; }

protected:
    ~SoundAlgoFFTDirectCompute() override;
    SoundTools::Status initOutputBuffer() override;

private:
    /// Copies `count` stereo frames from absolute position `pos` into `dest`,
    /// from the carried frames below the input origin and from the input
    /// buffer above it; frames found in neither are silence.
    void gather(int64_t pos, unsigned count, double* dest);
    void releaseTransform();

    uint32_t size;
    bool zeroPadded;

    SoundFFTPlanner::Plan plan = nullptr;
    unsigned planSize = 0;
    double* timeScratch = nullptr;     ///< size stereo frames, aligned; zero tail when padded
    double* spectrumScratch = nullptr; ///< one spectrum, aligned like the plan's output
    std::vector<double> carry;         ///< frames of an unfinished hop, from carryStart on
    std::vector<double> carryNext;
    int64_t carryStart = 0;
    unsigned carryFrames = 0;
    int64_t nextInPos = 0; ///< first input frame not yet transformed
    int64_t emitEnd = 0;
    bool positioned = false;
};
