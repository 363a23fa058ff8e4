#pragma once

#include "SoundAlgo.h"
#include "SoundRegionList.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QReadWriteLock>

#include <cstdint>
#include <ostream>
#include <vector>

/// Cuts a stream into level regions while it runs through the node.
///
/// The short-term power of each channel is measured over a window that looks
/// `windowDuration` seconds ahead of the current frame. A new region begins
/// where that power differs from the mean power of the region under
/// construction by more than the step threshold; regions shorter than
/// `minRegionDuration` are merged into the one before. After each flush a
/// noise pass marks the quiet regions.
///
/// Positions in the regions are absolute frame indices of the stream (the
/// reader's frame numbers), so a run that starts at a start point produces
/// regions from that point on.
///
/// The region list is the product: amplifiers, the segment writer and the host
/// read it, also from other threads while a run writes it. Every public
/// accessor of the list takes `regionLock`, once: the lock is not recursive,
/// because a recursive one allocates at every read lock, and amplifiers and
/// the segment writer read the list at every block. The analyses
/// (estimateNoise, Split, mergeRegions, compressDynamic) take no lock: call
/// them on a finished list with no run and no reader active.
class TEVO_EXPORT RMSStepDetector : public SoundAlgo, public SoundRegionList {
public:
    /// One level region (see SoundRegion).
    using Region = SoundRegion;

    /// What the node writes to its output.
    enum OutputMode {
        RegionLevel = 0, ///< RMS of the region under construction, per channel
        PassThrough = 1, ///< the input unchanged
        NoOutput = 2     ///< nothing (the output buffer is left as it is)
    };

    /// @param stepThreshold   level step in dB that starts a new region
    /// @param minRegionDuration shortest region, seconds
    /// @param noiseLevel      noise level in dB: relative to the loudest region
    ///                        (quieter channel) unless flushEachBlock, then absolute
    /// @param windowDuration  power window, seconds (a window that rounds to 0
    ///                        frames counts as 1 frame)
    /// @param mode            output of the node; unknown values pass through
    /// @param flushEachBlock  push the region under construction after every block
    ///                        (live use, where the list must grow while playing)
    RMSStepDetector(double stepThreshold = 5.0, double minRegionDuration = 5.0, double noiseLevel = -40.0,
                    double windowDuration = 0.2, OutputMode mode = RegionLevel, bool flushEachBlock = false);

    const char* getName() const override;
    SoundTools::Status process() override;
    /// The window's look-ahead: floor(sampleRate * windowDuration + 0.5) frames.
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// Computes the frame lengths for the rate and restarts region building;
    /// the list itself is kept (see reset).
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    /// Pushes the last region and a closing region at the run's end frame, runs
    /// the noise pass and saves the list for ResetRegions.
    void endProcess(int status, unsigned frames) override;

    /// Clears the list and the region under construction.
    void reset();
    /// Restores the list as it stood at the end of the last run, undoing later
    /// analyses and noise marks.
    void ResetRegions();
    int size() const override;
    /// Copy of region i; an index outside the list gives an empty region (all
    /// fields 0, not noise).
    Region getRegion(int i) const override;
    /// This detector: the segment writer holds a reference on it.
    SoundRefCounted& getRegionOwner() override { return *this; }
    /// Number of maximal runs of consecutive regions that are not noise.
    int GetSegmentsNumber() const;
    /// Start of the last region: after a run, the end frame of the run. 0 for
    /// an empty list.
    unsigned GetFullLength() const;
    /// First frame of signal (first region not marked as noise) minus `margin`
    /// seconds, at least 0; 2147483647 when there is no signal.
    int getSignalStart(double margin) const;
    /// Last frame of signal plus `margin` seconds; 0 when there is no signal.
    int getSignalEnd(double margin) const;
    /// RMS amplitude of the loudest region seen (square root of its level).
    double getCurrentMax() const;
    /// The noise level of the last noise pass, dB.
    double getNoiseLevelDb() const;

    /// Noise pass over the whole list with a new level in dB.
    void applyNoise(double noiseDb);
    /// Report of the list on the diagnostics stream: a title (may be null), the
    /// count, the noise level and, up to 200 regions, one line per region.
    void printRegions(const char* title) const;
    /// One report line: "[Thread n] " then start (length) : left right in dB,
    /// bracketed when the region is noise. Leaves the stream in fixed notation
    /// with 2 decimals.
    std::ostream& outputRegion(const Region& region) const;

    /// Noise level in dB estimated from the material: the level of the
    /// quietest `quietDuration` seconds (per five minutes) of material that
    /// lies within `range` dB of the loudest region, plus 5 %, relative to the
    /// loudest region's quieter channel. −range when nothing qualifies.
    double estimateNoise(double quietDuration, double range) const;
    /// Re-runs the noise pass inside every run of signal regions longer than
    /// `minRunDuration` seconds, with a noise level estimated inside the run.
    void Split(double quietDuration, double minRunDuration, double range);
    /// Folds each run of regions with the same mark into one region, with
    /// count-weighted powers.
    void mergeRegions();
    /// Brings quiet signal regions closer to the loudest one: `ratio` 1 levels
    /// everything, larger ratios keep more of the original dynamics. Returns
    /// the mean correction in dB (−100 when there is no signal region).
    double compressDynamic(double ratio);

    /// Formats seconds as HH:MM:SS.sss.
    static std::string formatTime(double seconds);

protected:
    using RegionIterator = std::vector<Region>::iterator;
    using RegionConstIterator = std::vector<Region>::const_iterator;

    ~RMSStepDetector() override;

    /// 0 when a region was appended, 1 when the region under construction is
    /// too short to push (and `force` is false), 3 when it was merged into the
    /// last region.
    SoundTools::Status pushRegion(bool force);
    /// pushRegion for a caller that holds the write lock.
    SoundTools::Status pushRegionLocked(bool force);
    void flush(bool force);
    /// Noise pass over [first, last); true when a mark changed. Caller holds
    /// the write lock (or no run is active).
    bool applyNoise(double noiseDb, RegionIterator first, RegionIterator last);
    double estimateNoise(double quietDuration, double range, RegionConstIterator first,
                         RegionConstIterator last) const;
    /// Frames from first's start to last's start.
    int _size(RegionConstIterator first, RegionConstIterator last) const;

    /// Larger of the two powers: the level used wherever regions are compared.
    static double levelOf(const Region& r);
    /// Smaller of the two powers.
    static double quietOf(const Region& r);

    double stepRatio;
    double minRegionDuration;
    double noiseLevel; ///< linear amplitude
    double windowDuration;
    mutable QReadWriteLock regionLock;
    std::vector<Region> regions;
    std::vector<Region> savedRegions;
    int32_t minRegionFrames = 1;
    int32_t minPushFrames = 1;
    int32_t windowFrames = 1;
    double sumLeft = 0.0;
    double sumRight = 0.0;
    int32_t count = 0;
    int32_t regionStart = 0;
    int32_t lastFrame = -1;
    double currentMax = 0.0;
    OutputMode outputMode;
    bool flushEachBlock;
    /// Rate of the last run, kept for the conversions of the accessors and
    /// reports (set under the lock: readers may call them while a run starts).
    uint32_t regionRate = 0;

private:
    // True from initProcess until the first frame with signal or the end of
    // the first block: only silence before any signal is left out of the
    // regions; a silent gap after signal would otherwise move the start of
    // the region under construction past frames it already holds.
    bool leadingSilence = true;
};
