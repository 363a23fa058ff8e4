#include "SoundAlgoMultibandAmplifier.h"

#include "SoundAlgoLimiter.h"
#include "SoundAlgoRMSAmplifier.h"

SoundAlgoMultibandAmplifier::SoundAlgoMultibandAmplifier(const char* id, bool sharedInputs)
    : SoundAlgoComposite(id, sharedInputs)
{
}

SoundAlgoMultibandAmplifier::~SoundAlgoMultibandAmplifier()
{
    // The nodes go with the composite; only the views on them are dropped.
    amplifiers.clear();
    limiters.clear();
}

void SoundAlgoMultibandAmplifier::pushAmplifier(SoundAlgoRMSAmplifier* amplifier)
{
    amplifiers.push_back(amplifier);
}

void SoundAlgoMultibandAmplifier::pushLimiter(SoundAlgoLimiter* limiter)
{
    limiters.push_back(limiter);
}

void SoundAlgoMultibandAmplifier::setLevel(double levelDb)
{
    for (SoundAlgoRMSAmplifier* amplifier : amplifiers)
        amplifier->setLevel(levelDb);
}

void SoundAlgoMultibandAmplifier::reset()
{
    for (SoundAlgoRMSAmplifier* amplifier : amplifiers)
        amplifier->reset();
}

double SoundAlgoMultibandAmplifier::getLevel(double seconds)
{
    return amplifiers.empty() ? 0.0 : amplifiers.front()->getLevel(seconds);
}

void SoundAlgoMultibandAmplifier::SetBalanceFromRMS(const SoundTools::StereoFrame<double>& rmsDb)
{
    for (SoundAlgoRMSAmplifier* amplifier : amplifiers)
        amplifier->setBalanceFromRMS(rmsDb);
}

void SoundAlgoMultibandAmplifier::SetDebugFile(const QString& base)
{
    for (size_t band = 0; band < limiters.size(); ++band) {
        const QByteArray name = QString("%1.channel_%2").arg(base).arg(band).toUtf8();
        limiters[band]->SetDebugFile(name.constData());
    }
}
