#include "SoundAlgoFFTMultibandAmplifier.h"

#include "RMSStepDetector.h"
#include "SoundAlgoAdd.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoRMSAmplifier.h"

namespace {

// Each band after the first starts this far above the crossover below it, so
// that the FIR transitions of neighbouring bands do not overlap.
constexpr double kBandGapHz = 150.0;
constexpr double kMaxBandGainDb = 20.0;

} // namespace

SoundAlgoFFTMultibandAmplifier::SoundAlgoFFTMultibandAmplifier(const std::vector<double>& crossovers,
                                                               double levelDb, double attackDuration,
                                                               double releaseDuration, RMSStepDetector* detector,
                                                               unsigned fftSize, bool sumBands)
    : SoundAlgoMultibandAmplifier("SoundAlgoFFTMultibandAmplifier", true)
{
    if (crossovers.empty())
        return;
    const size_t n = crossovers.size();
    // A level of exactly 0 dB asks for the bands only: nothing to level.
    const bool levelling = levelDb != 0.0;

    auto* direct = new SoundAlgoFFTDirectCompute(fftSize, true);
    pushAlgo(direct);
    std::vector<const SoundAlgoFFTFilter*> filters;
    auto* bands = new SoundAlgoComposite("SoundAlgoFFTMultibandAmplifier:Branches", true);
    for (size_t b = 0; b <= n; ++b) {
        bands->addNewBranch();
        SoundAlgoFFTFilter* filter = nullptr;
        if (b == 0)
            filter = new SoundAlgoFFTFilter(SoundTools::LowPass, crossovers[0], 0.0);
        else if (b == n)
            filter = new SoundAlgoFFTFilter(SoundTools::HighPass, crossovers[n - 1] + kBandGapHz, 0.0);
        else
            filter = new SoundAlgoFFTFilter(SoundTools::BandPass, crossovers[b - 1] + kBandGapHz, crossovers[b]);
        filters.push_back(filter);
        bands->pushAlgo(filter);
        bands->pushAlgo(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::OverlapAdd));
        if (levelling) {
            auto* amplifier = new SoundAlgoRMSAmplifier(levelDb, detector, releaseDuration, 0, kMaxBandGainDb);
            pushAmplifier(amplifier);
            bands->pushAlgo(amplifier);
            auto* limiter = new SoundAlgoLimiter(0.0, attackDuration, releaseDuration, nullptr);
            pushLimiter(limiter);
            bands->pushAlgo(limiter);
        }
    }
    pushAlgo(bands);
    // All bands read the same spectra: the hop suits the longest filter.
    direct->setHopRule(SoundAlgoFFTFilter::hopRule(filters, direct->getSize()));
    if (sumBands) {
        pushAlgo(new SoundAlgoAdd(static_cast<int>(n + 1), true, nullptr));
        if (levelling)
            pushAlgo(new SoundAlgoLimiter(0.0, attackDuration, releaseDuration, nullptr));
    }
    setReadOnly();
}

SoundAlgoFFTMultibandAmplifier::~SoundAlgoFFTMultibandAmplifier() = default;
