#pragma once

#include "SoundAlgoFilter.h"

/// A filter cascade with a second output carrying its complement: output 0 is
/// the filtered signal, output 1 the input times the last stage's gain minus
/// output 0, so that the two outputs always add up to the gained input. With a
/// low-pass stage, output 0 is the band below the frequency and output 1 the
/// band above it: the building block of crossover trees.
class TEVO_EXPORT SoundAlgoFilterSplit : public SoundAlgoFilter {
public:
    SoundAlgoFilterSplit();
    explicit SoundAlgoFilterSplit(std::shared_ptr<SoundTools::FilterBuilder> builder);

    const char* getName() const override;
    unsigned getOutputNumber() const override;
    SoundTools::Status process() override;

protected:
    ~SoundAlgoFilterSplit() override;
};
