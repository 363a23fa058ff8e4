#pragma once

#include "SoundAlgoMulti.h"
#include "TevoExport.h"

#include <vector>

/// Weighted sum of its inputs, channel by channel:
/// y0 = w0 x0 + w1 x1 + ... (in input order).
///
/// Two inputs with unit weights and one output take a dedicated loop. The
/// general case splits a block among the OpenMP threads when the block is
/// large enough to pay for waking them (see sParallelMinValues).
class TEVO_EXPORT SoundAlgoAdd : public SoundAlgoMulti {
public:
    /// `weights`: null for all weights 1.0, otherwise `inputNumber` linear
    /// weights, copied into the node.
    SoundAlgoAdd(int inputNumber, bool singleOutput, const double* weights);
    ~SoundAlgoAdd() override;

    const char* getName() const override;
    SoundTools::Status process() override;

    const std::vector<double>& getWeights() const { return weights; }

    /// Values (frames x ports touched) below which a block is summed on the
    /// calling thread: under it, starting the thread team costs more than the
    /// arithmetic it would share.
    static const unsigned sParallelMinValues;

protected:
    std::vector<double> weights;
};
