#pragma once

#include "SoundAlgoMulti.h"
#include "TevoExport.h"

/// Difference of its inputs, channel by channel: y0 = x0 - x1 - x2 - ...
/// (no weights). Two inputs and one output take a dedicated loop; runs on the
/// calling thread.
class TEVO_EXPORT SoundAlgoSub : public SoundAlgoMulti {
public:
    SoundAlgoSub(int inputNumber, bool singleOutput);
    ~SoundAlgoSub() override;

    /// "SoundAlgoSub".
    const char* getName() const override;
    SoundTools::Status process() override;
};
