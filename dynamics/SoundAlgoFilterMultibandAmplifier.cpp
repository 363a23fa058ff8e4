#include "SoundAlgoFilterMultibandAmplifier.h"

#include "BiquadEqBuilder.h"
#include "Order1FilterBuilder.h"
#include "RMSStepDetector.h"
#include "SoundAlgoAdd.h"
#include "SoundAlgoFilterSplit.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoRMSAmplifier.h"

#include <QString>

#include <memory>

namespace {

// Band amplifiers never raise a band by more than this.
constexpr double kMaxBandGainDb = 20.0;
// The sum of limited bands can still overshoot a little; the final limiter
// keeps the result just under full scale.
constexpr double kFinalLimiterDb = -0.3;

} // namespace

SoundAlgoFilterMultibandAmplifier::SoundAlgoFilterMultibandAmplifier(const std::vector<double>& crossovers,
                                                                     double levelDb, double attackDuration,
                                                                     double releaseDuration,
                                                                     RMSStepDetector* detector, bool biquad,
                                                                     int smoothing)
    : SoundAlgoMultibandAmplifier("SoundAlgoFilterMultibandAmplifier", true)
{
    if (crossovers.empty())
        return;
    recursiveBuildBranch(this, crossovers, 0, levelDb, attackDuration, releaseDuration, detector, biquad,
                         smoothing);
    pushAlgo(new SoundAlgoLimiter(kFinalLimiterDb, attackDuration, releaseDuration, nullptr));
}

SoundAlgoFilterMultibandAmplifier::~SoundAlgoFilterMultibandAmplifier() = default;

void SoundAlgoFilterMultibandAmplifier::recursiveBuildBranch(SoundAlgoComposite* parent,
                                                             const std::vector<double>& crossovers, unsigned index,
                                                             double levelDb, double attackDuration,
                                                             double releaseDuration, RMSStepDetector* detector,
                                                             bool biquad, int smoothing)
{
    const bool split = index < crossovers.size();
    SoundAlgoComposite* band = parent;
    if (split) {
        const double freq = crossovers[index];
        std::shared_ptr<SoundTools::FilterBuilder> builder;
        if (biquad)
            builder = std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::LowPass, freq, 1.0, 0.0);
        else
            builder = std::make_shared<SoundTools::Order1FilterBuilder>(SoundTools::LowPass, freq);
        parent->pushAlgo(new SoundAlgoFilterSplit(builder));
        // Output 0 of the split (below freq) feeds the first branch, output 1
        // (the rest) the second: the branches divide the inputs.
        const QByteArray id = QString("FilterMultibandAmplifier:%1").arg(freq, 0, 'f', 0).toUtf8();
        band = new SoundAlgoComposite(id.constData(), false);
        parent->pushAlgo(band);
        parent->pushAlgo(new SoundAlgoAdd(2, true, nullptr));
    }

    auto* amplifier = new SoundAlgoRMSAmplifier(levelDb, detector, releaseDuration, smoothing, kMaxBandGainDb);
    pushAmplifier(amplifier);
    band->pushAlgo(amplifier);

    if (split) {
        auto* limiter = new SoundAlgoLimiter(0.0, attackDuration, releaseDuration, nullptr);
        pushLimiter(limiter);
        band->pushAlgo(limiter);
        band->addNewBranch();
        recursiveBuildBranch(band, crossovers, index + 1, levelDb, attackDuration, releaseDuration, detector,
                             biquad, smoothing);
    }
}
