#pragma once

#include "SoundAlgo.h"
#include "SoundAlgoLatencyInterface.h"
#include "TevoExport.h"

/// Delays the signal by a duration, declared either as a delay or as an out
/// overlap.
///
/// With d = floor(sampleRate x seconds + 0.5) frames:
/// - as a delay (`asOverlap` false): the output is the input placed d frames
///   later (getDelay() = d); the loop puts d frames of silence in front, so a
///   run's output starts with that silence and then carries every input frame.
/// - as an overlap (`asOverlap` true): positions do not change and over a run
///   the output equals the input, but the last d frames of each block are
///   declared provisional (getOutOverlap() = getSampleShift() = d): the writer
///   holds them back until the next block, and the loop appends d frames of
///   silence at the end to release them.
///
/// The delay is the node's purpose: a run keeps it (see
/// SoundAlgoLatencyInterface).
class TEVO_EXPORT SoundAlgoDelay : public SoundAlgo, public SoundAlgoLatencyInterface {
public:
    /// `seconds`: the duration; negative or not-a-number counts as 0.
    SoundAlgoDelay(double seconds, bool asOverlap);
    ~SoundAlgoDelay() override;

    const char* getName() const override;
    SoundTools::Status process() override;

    unsigned getDelay(unsigned sampleRate) const override;
    unsigned getOutOverlap(unsigned sampleRate) const override;
    unsigned getSampleShift(unsigned sampleRate) const override;
    /// getDelay: the output lies that much after the input, on purpose.
    unsigned getOutputLag(unsigned sampleRate) const override { return getDelay(sampleRate); }
    unsigned getIntendedDelay(unsigned sampleRate) const override { return getDelay(sampleRate); }

    /// The duration in frames at `sampleRate`, rounded to the nearest frame.
    unsigned getFrames(unsigned sampleRate) const;

protected:
    double seconds;
    bool asOverlap;
};
