#pragma once

#include "SoundAlgo.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <cstdint>
#include <vector>

/// Base of the nodes that combine several stereo inputs into one output.
///
/// Output 0 carries the combination. Unless the node has a single output,
/// output i (i >= 1) carries a copy of input i, so that a node downstream can
/// still use the other inputs; input 0 never gets an output of its own.
class TEVO_EXPORT SoundAlgoMulti : public SoundAlgo {
public:
    ~SoundAlgoMulti() override;

    /// The number given to the constructor (0 when it was not positive, which
    /// makes initProcess fail).
    unsigned getInputNumber() const override;
    /// 1 with a single output, else the input number.
    unsigned getOutputNumber() const override;

protected:
    /// `inputNumber`: inputs to combine; `singleOutput`: only the combined
    /// output, no copies of inputs 1 and up.
    SoundAlgoMulti(int inputNumber, bool singleOutput);

    /// Takes the frame address of every input at getInOrigin() and of every
    /// output at getOutOrigin() into inFrames / outFrames (tables sized at
    /// construction, so nothing is allocated per block). False, with an error
    /// text, when a buffer does not reach those positions.
    bool takeFrames();
    /// Copies n frames of input i to output i for every i from 1 below the
    /// output number, from the addresses of takeFrames().
    void copyOtherInputs(unsigned n);

    int32_t inputNumber;
    bool singleOutput;
    std::vector<const SoundTools::StereoFrame<double>*> inFrames;
    std::vector<SoundTools::StereoFrame<double>*> outFrames;
};
