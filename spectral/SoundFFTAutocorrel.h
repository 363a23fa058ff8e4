#pragma once

#include "SoundAlgoFFT.h"
#include "TevoExport.h"

#include <cstdint>

/// Replaces every spectrum by its power spectrum (re^2 + im^2, 0), the
/// transform of the autocorrelation. Meant to live inside SoundAutocorrel,
/// between a zero-padded direct transform and an inverse one in
/// Autocorrelation mode; the composite drives it through the base class.
class TEVO_EXPORT SoundFFTAutocorrel : public SoundAlgoFFT {
public:
    SoundFFTAutocorrel();

    const char* getName() const override;

protected:
    ~SoundFFTAutocorrel() override;

    SoundTools::Status process() override;
    unsigned getInFrameSize() const override;
    unsigned getOutFrameSize() const override;
    unsigned getInElementSize() const override;
    unsigned getOutElementSize() const override;
    /// Always shares the feeding node's spectra and learns their bin count;
    /// fails without a feeding node.
    SoundTools::Status initInputBuffer() override;
    void updateOutput() override;
    void endProcess(int status, unsigned frames) override;

private:
    uint32_t bins = 0;
};
