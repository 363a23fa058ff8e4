#pragma once

#include "SoundAlgo.h"
#include "SoundTools.h"
#include "TevoExport.h"

/// Silences passages whose short-term RMS level lies below a threshold.
///
/// The RMS of each channel is measured over an odd window of W frames
/// centred on the frame being gated, so the node delays its output by
/// W / 2 frames (getDelay). When the louder channel reaches the threshold the
/// gate opens at once; below it the gain falls linearly to 0 over
/// `fadeDuration`.
class TEVO_EXPORT SoundAlgoNoiseGate : public SoundAlgo {
public:
    /// @param thresholdDb    level in dB below which the gate closes
    /// @param fadeDuration   time to close from fully open, seconds (0: at once)
    /// @param windowDuration RMS window, seconds
    SoundAlgoNoiseGate(double thresholdDb = -30.0, double fadeDuration = 0.01, double windowDuration = 0.3);

    const char* getName() const override;
    SoundTools::Status process() override;
    /// Half the window, floor(sampleRate * windowDuration + 0.5) / 2 frames.
    unsigned getDelay(unsigned sampleRate) const override;
    /// The window, floor(sampleRate * windowDuration + 0.5) made odd (at least 1).
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// The window again: alone in a run the reader pads the end of the input
    /// for the look-ahead, behind another node only this shift makes the loop
    /// deliver the silence that lets the last frames through.
    unsigned getSampleShift(unsigned sampleRate) const override;
    /// Opens the gate and sizes the fade for the rate.
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;

    /// New threshold in dB, in force from the next frame. Callable while the
    /// node runs on another thread (one double, written whole).
    void SetThreshold(double thresholdDb);

protected:
    ~SoundAlgoNoiseGate() override;

private:
    double fadeDuration;
    double windowDuration;
    double gateGain = 1.0;
    double fadeStep = 0.1;
    double threshold;
};
