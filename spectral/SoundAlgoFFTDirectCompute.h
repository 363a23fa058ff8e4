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
/// by overlap-add. No window, no scaling.
///
/// Exact for any block size and stream length: frames that do not fill a
/// whole hop at the end of a block are carried by the node into the next
/// block, and the node asks for hop - 1 frames of silence after the end of
/// the stream (its sample shift), so the last partial hop is transformed
/// padded with zeros. The stream an inverse node rebuilds therefore covers
/// the input and ends at most hop - 1 frames after it. The node reports no
/// delay: a spectrum is numbered with the position of its first frame.
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
    /// Hop - 1 frames of silence complete the last partial hop.
    unsigned getSampleShift(unsigned sampleRate) const override;

    void updateOutput() override;
    void endProcess(int status, unsigned frames) override;

    unsigned getSize() const { return size; }
    bool isZeroPadded() const { return zeroPadded; }
    /// New frames per spectrum: size / 2 when zero padded, else size.
    unsigned getHop() const { return zeroPadded ? size / 2 : size; }

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
    bool positioned = false;
};
