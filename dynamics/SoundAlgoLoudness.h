#pragma once

#include "SoundAlgo.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <cstdint>
#include <vector>

/// Loudness the way broadcast and podcast delivery measure it (ITU-R BS.1770-4,
/// EBU R128): integrated loudness, loudness range, momentary and short-term
/// maxima, true peak and sample peak of the stream that runs through it.
///
/// The node passes its input through unchanged (no delay, no overlap) and
/// measures the frames of the run itself: the silence placed in front of the
/// run's start is skipped, and the padding behind its end is left out when the
/// run ends (the last second of the stream is held back until then). Results
/// are read after the run and stay until the next run starts.
///
/// Loudness figures are in LUFS (LU for the range), peaks in dBTP / dBFS.
/// A stream that is silent or shorter than one 400 ms gating block has no
/// integrated loudness: the getters then return sNoLoudness (-100).
class TEVO_EXPORT SoundAlgoLoudness : public SoundAlgo {
public:
    /// Returned for a figure that the stream does not define (silence).
    static constexpr double sNoLoudness = -100.0;

    /// @param historyStep spacing, in seconds, of the short-term loudness
    ///                    readings kept for plots (0.1 to 10; default 0.1 s,
    ///                    the hop of the momentary and short-term meters)
    explicit SoundAlgoLoudness(double historyStep = 0.1);

    const char* getName() const override;
    SoundTools::Status process() override;
    /// Starts a fresh measurement; fails when the sample rate is not one the
    /// meter supports (8 kHz to 2.8 MHz).
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    /// Feeds the frames held back that belong to the run and computes the
    /// whole-run figures.
    void endProcess(int status, unsigned frames) override;

    /// Integrated (gated) loudness of the run, LUFS.
    double getIntegrated() const { return integrated; }
    /// Loudness range of the run, LU (0 for less than a few seconds of signal).
    double getLoudnessRange() const { return loudnessRange; }
    /// Largest momentary (400 ms) loudness, LUFS.
    double getMomentaryMax() const { return momentaryMax; }
    /// Largest short-term (3 s) loudness, LUFS.
    double getShortTermMax() const { return shortTermMax; }
    /// Largest peak of either channel, 4x oversampled below 96 kHz and 2x up to
    /// 192 kHz, dBTP; the values between the first or last frame and the
    /// silence around the run are not counted.
    double getTruePeak() const { return truePeak; }
    /// Largest sample of either channel, dBFS.
    double getSamplePeak() const { return samplePeak; }
    /// Measure at most `frames` frames from the run's start (0: no limit, the
    /// default). A host that knows the length of its input sets it, so that
    /// the silence that flushes the look-ahead of the nodes before this one
    /// is left out however long it is.
    void setMeasuredLength(uint64_t frames) { lengthLimit = frames; }

    /// Frames measured in the last run.
    uint64_t getFrameCount() const { return measuredFrames; }
    /// Short-term loudness every getHistoryStep() seconds from the start of the
    /// run, LUFS (sNoLoudness for silence); reading k covers the 3 s ending at
    /// (k + 1) × step.
    const std::vector<double>& getShortTermHistory() const { return history; }
    double getHistoryStep() const { return historyStep; }

protected:
    ~SoundAlgoLoudness() override;

private:
    void feed(const SoundTools::StereoFrame<double>* frames, unsigned count);
    void releaseMeter();
    static double orNone(double lufs);
    static double rangeOf(std::vector<double> readings);

    double historyStep;
    /// The meter's state (libebur128), kept out of the public header.
    struct Meter;
    Meter* meter = nullptr;
    uint32_t historyFrames = 0;                        ///< frames between two history readings
    uint32_t sinceReading = 0;                         ///< frames fed since the last reading
    uint32_t holdFrames = 0;                           ///< frames held back for the end of the run
    std::vector<SoundTools::StereoFrame<double>> held; ///< ring of held-back frames
    size_t heldStart = 0;
    size_t heldCount = 0;
    uint64_t measuredFrames = 0;
    uint64_t seenFrames = 0; ///< frames of the run that reached the node
    uint64_t lengthLimit = 0;
    std::vector<double> shortTermAll; ///< every 100 ms reading with a full window, LUFS
    std::vector<double> history;
    double integrated = sNoLoudness;
    double loudnessRange = 0.0;
    double momentaryMax = sNoLoudness;
    double shortTermMax = sNoLoudness;
    double truePeak = sNoLoudness;
    double samplePeak = sNoLoudness;
};
