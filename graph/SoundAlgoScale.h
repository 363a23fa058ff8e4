#pragma once

#include "SoundAlgo.h"
#include "TevoExport.h"

/// Multiplies both channels by a constant gain.
class TEVO_EXPORT SoundAlgoScale : public SoundAlgo {
public:
    /// `gainDb`: gain in decibels; the factor is 10^(gainDb / 20), so 0 dB is
    /// exactly 1 and -6 dB about 0.501187.
    explicit SoundAlgoScale(double gainDb);
    ~SoundAlgoScale() override;

    const char* getName() const override;
    SoundTools::Status process() override;

    /// The linear factor.
    double getFactor() const { return factor; }

protected:
    double factor;
};
