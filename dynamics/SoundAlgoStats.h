#pragma once

#include "SoundAlgo.h"
#include "SoundAlgoLatencyInterface.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <cstdint>

/// Measures levels: a sliding RMS as its output and/or whole-run statistics
/// (RMS per channel, RMS of both channels, peak per channel).
///
/// The sliding RMS uses an odd window of W frames centred on the output
/// frame, so the node reports a delay of W / 2 frames. Statistics count the
/// frames of the stream itself: the silence that the loop or a composite
/// places in front of the run's start, and the padding behind its end, are
/// left out (the latter when the run ends). Every figure is in dB
/// (20 log10, −100 for anything not above 1e-20).
class TEVO_EXPORT SoundAlgoStats : public SoundAlgo, public SoundAlgoLatencyInterface {
public:
    enum OutputType {
        RMSAndStats = 0, ///< sliding RMS out, statistics accumulated
        RMSOnly = 1,     ///< sliding RMS out, no statistics
        StatsOnly = 2    ///< input passed through (no window), statistics accumulated
    };

    /// @param type           see OutputType; StatsOnly forces a window of 0
    /// @param windowDuration sliding RMS window, seconds
    SoundAlgoStats(OutputType type = RMSAndStats, double windowDuration = 1.0);

    const char* getName() const override;
    SoundTools::Status process() override;
    /// floor(sampleRate * windowDuration + 0.5) / 2 frames.
    unsigned getDelay(unsigned sampleRate) const override;
    /// 0: the sliding window is centred on its output frame (and the input
    /// passes through unmoved), so a run lines the output up with the input.
    unsigned getOutputLag(unsigned sampleRate) const override { return (void)sampleRate, 0u; }
    /// The window made odd (1 for a window of 0).
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// Clears the statistics.
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    /// In verbose mode, after a normal end, prints the statistics report.
    void endProcess(int status, unsigned frames) override;

    /// RMS per channel in dB; `out` is left unchanged when no frame was counted.
    void getRMS(SoundTools::StereoFrame<double>& out) const;
    /// Peak per channel in dB.
    void getMax(SoundTools::StereoFrame<double>& out) const;
    /// RMS per channel, RMS of both channels and peak per channel, in dB; all
    /// left unchanged when no frame was counted.
    void getGlobalStats(SoundTools::StereoFrame<double>& rms, double& total,
                        SoundTools::StereoFrame<double>& max) const;
    /// Frames counted in the statistics.
    unsigned getFrameCount() const { return frameCount; }

protected:
    ~SoundAlgoStats() override;

    /// Adds `n` frames from `x` (the first at stream position `firstFrame`) to
    /// the whole-run statistics, unless the type is RMSOnly; frames before the
    /// run's start are left out.
    void accumulate(const SoundTools::StereoFrame<double>* x, int n, int firstFrame);
    /// The block to process: its frame count, the stream position of its
    /// first input frame, and its first input and output frames; false when
    /// there is nothing to do.
    bool blockFrames(int& n, int& inOrigin, const SoundTools::StereoFrame<double>*& x,
                     SoundTools::StereoFrame<double>*& y);

private:
    double windowDuration;
    uint32_t frameCount = 0;
    SoundTools::StereoFrame<double> sumSquares{0.0, 0.0};
    SoundTools::StereoFrame<double> peak{0.0, 0.0};
    OutputType outputType;
};
