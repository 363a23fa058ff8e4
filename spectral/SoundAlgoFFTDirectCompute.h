#pragma once

#include "SoundAlgoFFT.h"
#include "SoundFFTPlanner.h"
#include "TevoExport.h"

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

/// Turns a stereo stream into spectra, one spectrum per output frame.
///
/// With `zeroPadded` false each spectrum is the transform of `size`
/// consecutive frames and spectra do not overlap (hop = size). With
/// `zeroPadded` true each spectrum is the transform of hop new frames
/// followed by size - hop zeros, the block of a linear convolution by
/// overlap-add: hop is size/2 unless a hop rule (setHopRule) gives more, so
/// that a filter of L taps can take hop = size - L + 1 new frames per
/// transform. No window, no scaling. A spectrum is numbered with the position
/// of its first frame.
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
    /// Zero padded only: the new frames per spectrum for a run at a sample
    /// rate, used where it lies from size / 2 to size (else size / 2).
    using HopRule = std::function<unsigned(unsigned sampleRate)>;
    void setHopRule(HopRule rule) { hopRule = std::move(rule); }
    /// New frames per spectrum at `sampleRate`: size when not zero padded,
    /// else size / 2 or what the hop rule gives.
    unsigned getHopFor(unsigned sampleRate) const;
    /// New frames per spectrum in the current (or last) run.
    unsigned getHop() const { return runHop != 0 ? runHop : getHopFor(sampleRate); }
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
    /// buffer above it; frames found in neither are silence. Interleaved when
    /// `planar` is 0, else the right channel `planar` doubles after the left.
    void gather(int64_t pos, unsigned count, double* dest, unsigned planar = 0);
    void releaseTransform();

    uint32_t size;
    bool zeroPadded;
    HopRule hopRule;
    unsigned runHop = 0; ///< the hop fixed when the run started

    SoundFFTPlanner::Plan plan = nullptr;
    unsigned planSize = 0;
    double* timeScratch = nullptr;     ///< left then right channel, size frames each; zero tails when padded
    double* spectrumScratch = nullptr; ///< left then right spectrum
    std::vector<double> carry;         ///< frames of an unfinished hop, from carryStart on
    std::vector<double> carryNext;
    int64_t carryStart = 0;
    unsigned carryFrames = 0;
    int64_t nextInPos = 0; ///< first input frame not yet transformed
    int64_t emitEnd = 0;
    bool positioned = false;
};
