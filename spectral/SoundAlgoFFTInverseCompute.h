#pragma once

#include "SoundAlgoFFT.h"
#include "SoundFFTPlanner.h"
#include "TevoExport.h"

#include <cstdint>
#include <vector>

/// Turns spectra back into a stereo stream.
///
/// The transform size comes from the node that feeds it (2 * bins - 2). The
/// time frames made from a spectrum start at the position the spectrum is
/// numbered with, hopOut frames per spectrum, so that behind a
/// SoundAlgoFFTDirectCompute of the same hop output and input frames line up
/// (no delay). Per block the node hands on the frames its direct transform
/// says are due (SoundAlgoFFTDirectCompute::getEmitEnd), keeping the few
/// frames made ahead of that for the next block; without a direct transform
/// upstream it hands on everything it makes. The spectra read are left
/// untouched.
class TEVO_EXPORT SoundAlgoFFTInverseCompute : public SoundAlgoFFT {
public:
    /// What the node makes of each spectrum. Negative values behave as Plain,
    /// values above 2 as Autocorrelation.
    enum Mode {
        Plain = 0,          ///< size frames: the inverse transform / size
        OverlapAdd = 1,     ///< hop frames (the direct transform's, else size/2): overlap-add of consecutive inverse transforms / size
        Autocorrelation = 2 ///< size/2 frames: lag j of the inverse transform / (size * max(size/2 - j, 50))
    };

    explicit SoundAlgoFFTInverseCompute(Mode mode);

    const char* getName() const override;
    SoundTools::Status process() override;

    /// Bins of the spectra read: size / 2 + 1 (1 before the first run).
    unsigned getInFrameSize() const override;
    unsigned getInElementSize() const override;

    void updateOutput() override;
    void endProcess(int status, unsigned frames) override;

    Mode getMode() const { return mode; }
    /// Transform size learnt from the feeding node; 0 before the first run.
    unsigned getSize() const { return size; }
    /// Time frames written per spectrum.
    unsigned getHopOut() const;

protected:
    ~SoundAlgoFFTInverseCompute() override;
    /// Fails without a feeding node, or when the feeding node's spectra
    /// would give a transform size below 2.
    SoundTools::Status initInputBuffer() override;
    /// Starts every run from a zeroed overlap-add state.
    SoundTools::Status initOutputBuffer() override;

private:
    void releaseTransform();
    /// The direct transform that numbers the spectra reaching this node,
    /// through spectral nodes and composites; null when there is none.
    const class SoundAlgoFFTDirectCompute* findSource() const;
    /// Puts `count` stereo frames made for absolute position `pos` where
    /// they belong: the output buffer for frames due in this block, the
    /// pending frames for those due later.
    void deliver(int64_t pos, const double* frames, unsigned count);

    uint32_t size = 0;
    uint32_t addHop = 0; ///< overlap-add hop, from size/2 to size
    Mode mode;
    /// Last inverse transform, left then right channel of size frames each
    /// (past the hop, the overlap-add tail of the next spectrum).
    double* work = nullptr;
    double* spectrumScratch = nullptr; ///< copy of the spectrum: c2r destroys its input
    SoundFFTPlanner::Plan plan = nullptr;
    unsigned planSize = 0;
    double* hopScratch = nullptr; ///< frames of one spectrum that are not all due now

    const SoundAlgoFFTDirectCompute* source = nullptr; ///< not owned
    bool positioned = false;
    int64_t emitPos = 0;         ///< next frame to hand on
    int64_t blockEnd = 0;        ///< end of the frames handed on in this block
    std::vector<double> pending; ///< frames made but not yet due, from blockEnd on
    unsigned pendingFrames = 0;
};
