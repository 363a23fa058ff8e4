#pragma once

#include "RMSStepDetector.h"
#include "SoundAlgo.h"
#include "SoundAlgoAmpliInterface.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QReadWriteLock>

#include <cstdint>

/// Levels a recording region by region towards a target RMS level.
///
/// Follows the regions of an RMSStepDetector: each region gets the gain that
/// brings its RMS level (its louder channel, after the balance factors) to the
/// target, capped at the maximum gain, and the gain ramps linearly over
/// `rampDuration` from one region to the next. Regions marked as noise are
/// not amplified: entering one holds the gain in force, and the gain returns
/// to 1 at the next block start.
///
/// The detector may still be producing regions while this node runs (they
/// are picked up block by block) or may have analysed the material in an
/// earlier run. Every run starts afresh: the region in force is looked up
/// again at its first block. No delay, no look-ahead.
class TEVO_EXPORT SoundAlgoRMSAmplifier : public SoundAlgo, public SoundAlgoAmpliInterface {
public:
    /// @param levelDb      target RMS level, dB full scale
    /// @param detector     region source; the node holds a reference on it (a
    ///                     null detector leaves the gain at 1)
    /// @param rampDuration gain ramp between regions, seconds (0: the gain jumps)
    /// @param smoothing    above 0, each region's level moves 1/smoothing of the
    ///                     way toward the loudest region before the gain is
    ///                     computed, which narrows the spread of the gains
    /// @param maxGainDb    largest gain applied, dB
    SoundAlgoRMSAmplifier(double levelDb, RMSStepDetector* detector, double rampDuration, int smoothing,
                          double maxGainDb);

    const char* getName() const override;
    SoundTools::Status process() override;
    /// Restarts the gain state (as reset) and sizes the ramp for the rate.
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;

    /// New target level in dB; the region in force takes its new gain at
    /// once, without a ramp. Thread-safe against the host's other setters.
    void setLevel(double levelDb) override;
    void reset() override;
    /// Gain in dB for the region that holds `seconds` (noise marks are not
    /// considered); 0 beyond the last region. Fastest in ascending time order.
    double getLevel(double seconds) override;

    /// Balance from the per-channel RMS levels in dB: the quieter channel is
    /// raised to the louder one.
    void setBalanceFromRMS(const SoundTools::StereoFrame<double>& rmsDb);

protected:
    ~SoundAlgoRMSAmplifier() override;

private:
    double computeCoeffFromRegion(RMSStepDetector::Region& region);
    void initCoeffFromRegionManager(int frame);
    void initCurrentCoeff();
    void recomputeCoeffFromRegion();
    void setCoeff(int frame);
    int regionCount() const;
    int rampFrames() const;
    void printAmplification(std::ostream& os) const;

    double coeff = 1.0;
    double maxGain;
    double rampDuration;
    double level;
    double balanceLeft = 1.0;
    double balanceRight = 1.0;
    double gain = 1.0;
    RMSStepDetector* detector; ///< holds one reference
    int32_t regionIndex = 0;
    int32_t levelCursor = 0;
    RMSStepDetector::Region currentRegion{0, 0, 0.0, 0.0, 0, false};
    double rampStep = 0.0;
    int32_t rampRemaining = 0;
    bool initialised = false;
    QReadWriteLock levelLock;
    int32_t smoothing;
    int32_t blockRegionCount = 0; ///< detector's size() at the start of the block
};
