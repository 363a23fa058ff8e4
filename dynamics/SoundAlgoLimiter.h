#pragma once

#include "SoundAlgo.h"
#include "SoundAlgoAmpliInterface.h"
#include "SoundBuffer.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QReadWriteLock>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SoundWriter;

/// Look-ahead peak limiter with a make-up gain.
///
/// Multiplies the stereo stream by a gain that rests at `level` (the make-up
/// gain) and keeps every output sample at or below 0.98 of full scale. The
/// node looks `attackFrames` ahead in its input: when a coming peak, times the
/// gain then expected, would pass 0.98, the gain starts falling early on a
/// linear ramp that brings the peak to exactly 0.98. After the attack the gain
/// climbs back to `level` on a linear release no steeper than `slopeMax`.
/// A peak that still gets through (above 0.981) is pulled down to 0.98 at
/// once, and the frames before it in the block are ramped down to meet it, so
/// no output sample ever exceeds 0.981.
///
/// Geometry: no delay; the look-ahead is an in overlap of attackFrames +
/// releaseFrames input frames beyond each block. The attack and release plan
/// carries across blocks; the clip ramp reaches back only inside the block.
///
/// Optionally writes a mono 16-bit WAV file with one frame per output frame:
/// the gain in force at that frame, as (gain − level) / level (0 at rest, −1
/// for a gain of 0).
///
/// True-peak detection (setTruePeak) is an option: peaks are then looked for
/// on the signal oversampled 4 times (the peaks between samples that a
/// converter or a lossy encoder reproduces, as ITU-R BS.1770 measures them),
/// and the ceiling (setCeiling) holds for them. By default peaks are the
/// samples themselves and the ceiling is 0.98.
///
/// Thread safety: process, setLevel and reset exclude each other, so a level
/// change from the host's thread applies from the next block on.
class TEVO_EXPORT SoundAlgoLimiter : public SoundAlgo, public SoundAlgoAmpliInterface {
public:
    /// Largest output sample the planned attacks aim at, full scale 1.0.
    static constexpr double sPeakCeiling = 0.98;
    /// Output samples above this are clipped back retroactively.
    static constexpr double sClipThreshold = 0.981;

    /// @param levelDb         make-up gain in dB; also the ceiling of the gain
    /// @param attackDuration  look-ahead and attack length, seconds; a length that
    ///                        rounds to 0 frames counts as 1 frame
    /// @param releaseDuration release length, seconds (0 frames count as 1)
    /// @param debugFile       path (UTF-8) of the diagnostic WAV file, or null;
    ///                        the file is written by the first run only, and a
    ///                        path that cannot be opened is ignored
    SoundAlgoLimiter(double levelDb, double attackDuration, double releaseDuration, const char* debugFile = nullptr);

    const char* getName() const override;
    SoundTools::Status process() override;
    /// attackFrames + releaseFrames: the look-ahead kept beyond each block.
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// The look-ahead again: the frames held back at the end of the input are
    /// released only by as many frames of silence behind it. At the top of a
    /// run the reader pads the end itself; inside a graph only this shift
    /// makes the loop flush them.
    unsigned getSampleShift(unsigned sampleRate) const override;
    /// Starts the run at gain = level with no attack or release in progress,
    /// converts the durations for the rate and opens the diagnostic file.
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    /// Closes the diagnostic file; with the debug flag set and a normal end,
    /// reports the attack and clip counters of the run.
    void endProcess(int status, unsigned frames) override;

    /// New make-up gain in dB; the gain jumps to it at the next block.
    void setLevel(double levelDb) override;
    /// Returns the gain to `level` at the next block (the plan is kept).
    void reset() override;
    /// The make-up gain in dB, whatever the time.
    double getLevel(double seconds) override;

    /// Largest release slope, as the dB figure of gain units per second (60 dB
    /// is 1000 per second, the default). Applies from the next run on.
    void SetSlopeMax(double slopeDb);
    /// Does nothing: the diagnostic file is named only at construction, so that
    /// a node inside a running graph never opens files behind the host's back.
    void SetDebugFile(const char* name);
    /// Ceiling of the output peaks in dBFS (dBTP with true-peak detection),
    /// from -60 to 0 dB (clamped); the default is 0.98 of full scale. Output
    /// above the ceiling by more than 0.1 % is pulled back retroactively.
    /// Applies from the next run on.
    void setCeiling(double ceilingDb);
    double getCeiling() const;
    /// With `on`, peaks are found on the 4x oversampled input, in the
    /// look-ahead, and the ceiling holds for the true peaks of the output as
    /// SoundAlgoLoudness measures them (the same oversampler). Costs three
    /// 32-tap filters per frame and channel. Applies from the next run on.
    void setTruePeak(bool on);
    bool isTruePeak() const { return truePeak; }
    /// Frames whose gain was below the make-up gain in the last run: the
    /// frames the limiter lowered.
    int64_t getLoweredFrames() const { return loweredFrames; }

    /// The gain that the current attack or release plan reaches attackFrames
    /// ahead of the current frame: what a peak seen by the look-ahead will meet.
    double GetForwardCoeff() const;

protected:
    ~SoundAlgoLimiter() override;

private:
    void startRelease();
    double forwardCoeff() const;
    /// Plans the attack toward the peak q seen attackFrames ahead of frame i.
    void planAttack(const SoundTools::StereoFrame<double>* in, int i, int frames, int32_t position, double q);
    /// Peak of input frame i of the block: the sample peak, or with true-peak
    /// detection the largest oversampled value around it.
    double peakAt(const SoundTools::StereoFrame<double>* in, int i) const;
    /// Fills truePeaks for the block and the look-ahead it can see.
    void findTruePeaks(const SoundTools::StereoFrame<double>* in, int available, int frames);
    static int framesFor(double seconds, unsigned sampleRate);

    double attackDuration;
    double releaseDuration;
    double level;
    double slopeMax = 1000.0;
    double slopeMaxPerFrame = 0.0;
    double gain;
    double releaseStep = 0.0;
    int32_t releaseRemaining = 0;
    double attackStep = 0.0;
    int32_t attackRemaining = 0;
    int32_t attackTarget = 0;
    /// Lowest gain aimed at by the plans merged into the attack in progress;
    /// an attack never takes the gain below it (see planAttack).
    double attackFloor = 0.0;
    int32_t attackFrames = 1;
    int32_t releaseFrames = 1;
    std::shared_ptr<SoundBuffer> debugBuffer;
    std::unique_ptr<SoundWriter> debugWriter;
    std::string debugFileName;
    double ceiling = sPeakCeiling;
    double clipThreshold = sClipThreshold;
    bool truePeak = false;
    /// True-peak detection: per input frame of the block (and look-ahead), the
    /// largest oversampled magnitude within half a frame on either side.
    std::vector<double> truePeaks;
    int truePeakFrames = 0;                                 ///< entries of truePeaks that are valid
    std::vector<SoundTools::StereoFrame<double>> tpScratch; ///< history + block + look-ahead
    std::vector<SoundTools::StereoFrame<double>> tpHistory; ///< last input frames of the previous block
    /// Interpolated peaks between consecutive input frames, from the previous
    /// frame of the block on, as far as the look-ahead reached.
    std::vector<double> tpBetween;
    int64_t loweredFrames = 0;
    int32_t positiveAttacks = 0;
    int32_t clippingsFiltered = 0;
    QReadWriteLock limiterLock;
};
