#pragma once

#include "SoundAlgoStats.h"
#include "TevoExport.h"

#include <cstddef>
#include <vector>

/// A SoundAlgoStats of type RMSAndStats that keeps its sliding window itself:
/// the meter of each band of SoundAlgoFFTMultiStats.
///
/// SoundAlgoStats asks the graph for a whole window of input history, and a
/// graph sizes every block to hold its nodes' histories: a 1 s window grows
/// the blocks of all the band buffers to over 44100 frames. This meter keeps
/// the squares of the last W frames in a ring of its own (16 bytes a frame)
/// and takes its input one block at a time, without history (in overlap 1,
/// delay 0, like StatsOnly). The output at position p is therefore the RMS of
/// the W frames up to p, the centred RMS of p - W/2: the meter declares that
/// lag (SoundAlgoLatencyInterface) and a run, or a composite lining up its
/// branches, takes it back out. The whole-run statistics are those of
/// SoundAlgoStats; they count every frame the run passes through, the end of
/// the stream included.
class TEVO_EXPORT SoundAlgoBandMeter : public SoundAlgoStats {
public:
    /// @param windowDuration sliding RMS window, seconds (W frames: the
    ///                       window of a SoundAlgoStats of that duration)
    explicit SoundAlgoBandMeter(double windowDuration = 1.0);

    SoundTools::Status process() override;
    /// 0: the window lies behind the output frame, not around it.
    unsigned getDelay(unsigned sampleRate) const override;
    /// 1: the ring holds the history.
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// W / 2 frames: the centre of the window behind the output frame.
    unsigned getOutputLag(unsigned sampleRate) const override;
    /// Sizes the ring to W frames of silence, then clears the statistics.
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    /// Frees the ring (the statistics stay).
    void endProcess(int status, unsigned frames) override;

protected:
    ~SoundAlgoBandMeter() override;

private:
    std::vector<SoundTools::StereoFrame<double>> squares; ///< ring of the last W squared frames
    std::size_t oldest = 0;                               ///< ring slot of the frame leaving the window next
};
