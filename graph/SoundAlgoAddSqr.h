#pragma once

#include "SoundAlgoAdd.h"
#include "TevoExport.h"

/// Root of the sum of the weighted squares of its inputs, channel by channel:
/// y0 = sqrt((w0 x0)^2 + (w1 x1)^2 + ...), e.g. the magnitude of a pair of
/// quadrature signals. Runs on the calling thread. Its name is that of
/// SoundAlgoAdd, which it extends.
class TEVO_EXPORT SoundAlgoAddSqr : public SoundAlgoAdd {
public:
    /// As SoundAlgoAdd: `weights` null for unit weights, else one per input.
    SoundAlgoAddSqr(int inputNumber, bool singleOutput, const double* weights);
    ~SoundAlgoAddSqr() override;

    SoundTools::Status process() override;
};
