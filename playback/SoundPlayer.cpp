#include "SoundPlayer.h"

#include <QDebug>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPlayerBase, "tevo.playback")

SoundPlayer::SoundPlayer(SoundReader* r, SoundAlgo* algo)
    : QObject(nullptr)
    , device(new SoundAlgoDevice(r, algo))
    , reader(r)
{
}

SoundPlayer::~SoundPlayer()
{
    qCDebug(lcPlayerBase) << "deleting player";
    delete device;
    qCDebug(lcPlayerBase) << "device deleted";
}

// Each setter looks at its node before taking the lock, so that a player
// without that node answers at once instead of waiting for the block in
// progress.

void SoundPlayer::setAmpLevel(double levelDb)
{
    if (SoundAlgoAmpliInterface* node = amplifier.load())
        changeLive([&] { node->setLevel(levelDb); });
}

void SoundPlayer::setEqFreq(unsigned band, double freqHz)
{
    if (SoundAlgoFilterBiquad* node = equalizer.load())
        changeLive([&] { node->SetFreq(band, freqHz); });
}

void SoundPlayer::setEqLevel(unsigned band, double gainDb)
{
    if (SoundAlgoFilterBiquad* node = equalizer.load())
        changeLive([&] { node->SetLevel(band, gainDb); });
}

void SoundPlayer::setEqWidth(unsigned band, double width)
{
    if (SoundAlgoFilterBiquad* node = equalizer.load())
        changeLive([&] { node->SetWidth(band, width); });
}

void SoundPlayer::setGateLevel(double thresholdDb)
{
    if (SoundAlgoNoiseGate* node = noiseGate.load())
        changeLive([&] { node->SetThreshold(thresholdDb); });
}
