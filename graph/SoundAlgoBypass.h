#pragma once

#include "SoundAlgo.h"
#include "SoundAlgoLatencyInterface.h"
#include "TevoExport.h"

#include <cstdint>

/// Passes frames through unchanged while declaring a geometry: it places its
/// output `delay` frames after its input and keeps `inOverlap` frames of input
/// history, so that per block it passes on getInFrameNb() + its output margin
/// - inOverlap frames.
///
/// Composites use it to align branches: appended to a branch it brings its
/// delay and output margin up to those of the longest branch; put in front of
/// a branch whose first node needs less history than its siblings, it absorbs
/// the difference so that every branch consumes the same frames per block.
///
/// A delay given by the host is intended: it stays in a run's output. The
/// delay of an alignment bypass (setAligner) is latency, compensated.
class TEVO_EXPORT SoundAlgoBypass : public SoundAlgo, public SoundAlgoLatencyInterface {
public:
    /// One stereo port, no overlap, no delay: a plain copy.
    SoundAlgoBypass();
    /// One stereo port; `inOverlap` and `delay` in frames.
    SoundAlgoBypass(unsigned inOverlap, unsigned delay);
    /// Full form, for alignment inside composites. `outOverlap` frames of each
    /// block are declared provisional (and as many frames of sample shift),
    /// although they are final: a branch then holds back as many frames as a
    /// sibling whose last node has that out overlap. `portNumber` inputs and
    /// as many outputs, copied port by port; `frameSize` and `elementSize`
    /// describe the frames of the ports (1 and 1 for samples).
    SoundAlgoBypass(unsigned inOverlap, unsigned delay, unsigned outOverlap, unsigned portNumber,
                    unsigned frameSize = 1, unsigned elementSize = 1);
    ~SoundAlgoBypass() override;

    const char* getName() const override;
    /// Copies each input port to the same output port; 1 when the port counts
    /// differ.
    SoundTools::Status process() override;

    unsigned getInputNumber() const override;
    unsigned getOutputNumber() const override;
    unsigned getInFrameSize() const override;
    unsigned getOutFrameSize() const override;
    unsigned getInElementSize() const override;
    unsigned getOutElementSize() const override;
    unsigned getDelay(unsigned sampleRate) const override;
    unsigned getInOverlap(unsigned sampleRate) const override;
    unsigned getOutOverlap(unsigned sampleRate) const override;
    unsigned getSampleShift(unsigned sampleRate) const override;

    /// The output lies `delay` frames (less the look-ahead) after the input.
    unsigned getOutputLag(unsigned sampleRate) const override;
    /// The delay, unless this bypass only aligns a composite's branches.
    unsigned getIntendedDelay(unsigned sampleRate) const override;
    /// Marks the bypass as an alignment node: its delay is latency. With a
    /// `lookAhead` (at most the in overlap) it copies the input from that many
    /// frames into its window, so that its output lags only delay - lookAhead:
    /// a branch then moves its positions without moving its signal.
    void setAligner(unsigned lookAhead = 0)
    {
        aligner = true;
        this->lookAhead = lookAhead < inOverlap ? lookAhead : inOverlap;
    }

protected:
    bool aligner = false;
    uint32_t lookAhead = 0;
    uint32_t inOverlap;
    uint32_t delay;
    uint32_t outOverlap;
    uint32_t portNumber;
    uint32_t frameSize;
    uint32_t elementSize;
};
