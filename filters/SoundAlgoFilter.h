#pragma once

#include "Filter.h"
#include "FilterBuilder.h"
#include "SoundAlgo.h"

#include <memory>
#include <vector>

namespace SoundTools {
class BiquadFilter;
}

/// Runs a cascade of recursive kernels, one per builder, over its one stereo
/// input.
///
/// Geometry is the default: one input, one output, no delay, no overlap. The
/// kernels are (re)built from the builders at every initProcess, so each run
/// starts from zero filter state; the state then carries across the blocks of
/// the run. The output gain is applied once, by the last stage. Not locked:
/// a caller that changes stages while another thread processes must keep
/// process() out for the duration (the playback device's graph lock does).
class TEVO_EXPORT SoundAlgoFilter : public SoundAlgo {
public:
    SoundAlgoFilter();
    /// Starts the cascade with `builder`.
    explicit SoundAlgoFilter(std::shared_ptr<SoundTools::FilterBuilder> builder);

    const char* getName() const override;

    /// Appends a stage at the end of the cascade; effective at the next
    /// initProcess.
    void pushFilter(std::shared_ptr<SoundTools::FilterBuilder> builder);
    /// Output gain in dB (0 after construction); effective at the next
    /// initProcess.
    void setOutputGain(double dB) { outputGain = dB; }

    /// Builds every kernel for `sampleRate`, then initialises the node.
    /// Fails (1, error text set) when there is no stage.
    SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset, SoundAlgo* previous,
                                   SoundAlgo* next) override;
    /// Filters the block: the first stage from the input into the output, the
    /// others in place. A block of zero frames leaves every kernel untouched.
    SoundTools::Status process() override;

protected:
    ~SoundAlgoFilter() override;

    /// The builder of stage i, or null when there is no such stage. Not owned.
    SoundTools::FilterBuilder* getbuilder(unsigned i);
    /// Rebuilds kernel i at the rate of the last initProcess; its delay line
    /// restarts from zero. The last stage gets the output gain again at once,
    /// so a live change of the last band keeps the output level.
    void initFilter(int i);
    /// Linear gain of the last stage's kernel (1 before initProcess).
    double getFilterGain();

    std::vector<std::shared_ptr<SoundTools::FilterBuilder>> builders;
    std::vector<std::shared_ptr<SoundTools::Filter>> filters;
    double outputGain = 0.0; ///< dB

private:
    /// When every kernel is a plain biquad the whole cascade runs in one pass.
    void refreshCascade();
    std::vector<SoundTools::BiquadFilter*> biquads; ///< views of `filters`, or empty
};
