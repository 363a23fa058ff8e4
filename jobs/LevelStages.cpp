#include "LevelStages.h"

#include "Crossovers.h"
#include "Job.h"
#include "RMSStepDetector.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTMultibandAmplifier.h"
#include "SoundAlgoFilterMultibandAmplifier.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundAlgoScale.h"

#include <QString>
#include <QStringList>

bool LevelStages::Options::set(const std::string& name, const std::string& value, std::string& error)
{
    const QString text = QString::fromStdString(value);
    double x = 0;
    const bool number = Job::parseNumber(value, x);
    if (name == "limit") {
        if (number && x >= -60 && x <= 60) {
            limit = true;
            limitDb = x;
            return true;
        }
        error = QString("--limit needs a number of decibels from -60 to 60, not '%1'").arg(text).toStdString();
    } else if (name == "attack") {
        if (number && x >= 0 && x <= 1) {
            attackSet = true;
            attackSeconds = x;
            return true;
        }
        error = QString("--attack needs a number of seconds from 0 to 1, not '%1'").arg(text).toStdString();
    } else if (name == "release") {
        if (number && x >= 0 && x <= 10) {
            releaseSet = true;
            releaseSeconds = x;
            return true;
        }
        error = QString("--release needs a number of seconds from 0 to 10, not '%1'").arg(text).toStdString();
    } else if (name == "multiband") {
        return Crossovers::parse(Crossovers::MultibandOption, value, crossovers, error);
    } else if (name == "true-peak") {
        if (number && x >= -20 && x <= 0) {
            truePeakSet = true;
            truePeakDb = x;
            return true;
        }
        error = QString("--true-peak needs a number of dBTP from -20 to 0, not '%1'").arg(text).toStdString();
    } else if (name == "fft") {
        bool ok = false;
        const unsigned size = text.toUInt(&ok);
        if (ok && size >= SoundAlgoFFTFilter::getMinFullSize() && size <= kMaxFftSize && size % 2 == 0) {
            fft = true;
            fftSize = size;
            return true;
        }
        error = QString("--fft needs an even size from %1 to %2, not '%3'")
                    .arg(SoundAlgoFFTFilter::getMinFullSize())
                    .arg(kMaxFftSize)
                    .arg(text)
                    .toStdString();
    } else {
        error = "unknown option '" + name + "'";
    }
    return false;
}

std::string LevelStages::Options::check(double levelDb, bool rampSet) const
{
    const bool multiband = !crossovers.empty();
    if (noLimit && (limit || truePeakSet))
        return "--no-limit leaves out the limiter that --limit and --true-peak set up: give one or the other";
    if ((attackSet || releaseSet) && noLimit && !multiband)
        return "--attack and --release set the limiter, which --no-limit leaves out";
    if ((fft || biquad) && !multiband)
        return "--fft and --biquad need --multiband";
    if (fft && biquad)
        return "--biquad chooses crossover filters, which --fft replaces: give one of them";
    if (multiband && rampSet)
        return "--ramp does not apply with --multiband: the band amplifiers ramp over --release";
    // The FFT build takes a level of exactly 0 dB as "bands only".
    if (fft && levelDb == 0.0)
        return "--multiband with --fft needs a --level below 0 dB";
    return std::string();
}

std::string LevelStages::checkSampleRate(const Options& options, unsigned sampleRate)
{
    return Crossovers::checkSampleRate(Crossovers::MultibandOption, options.crossovers, sampleRate);
}

SoundAlgo* LevelStages::makeLevelling(const Options& options, double levelDb, RMSStepDetector* detector,
                                      double rampSeconds, int smoothing, double maxGainDb)
{
    if (options.crossovers.empty())
        return new SoundAlgoRMSAmplifier(levelDb, detector, rampSeconds, smoothing, maxGainDb);
    if (options.fft)
        return new SoundAlgoFFTMultibandAmplifier(options.crossovers, levelDb, options.attackSeconds,
                                                  options.releaseSeconds, detector, options.fftSize, true);
    return new SoundAlgoFilterMultibandAmplifier(options.crossovers, levelDb, options.attackSeconds,
                                                 options.releaseSeconds, detector, options.biquad, smoothing);
}

SoundAlgo* LevelStages::makeFinalLimiter(const Options& options, double makeupDb, double writerGainDb)
{
    const double gainDb = makeupDb - writerGainDb;
    if (options.noLimit)
        return gainDb != 0.0 ? new SoundAlgoScale(gainDb) : nullptr;
    auto* limiter = new SoundAlgoLimiter(gainDb, options.attackSeconds, options.releaseSeconds, nullptr);
    limiter->setTruePeak(true);
    limiter->setCeiling(options.truePeakDb - writerGainDb);
    return limiter;
}

std::string LevelStages::describe(const Options& options)
{
    QString text;
    if (options.crossovers.empty()) {
        text = "single band";
    } else {
        QStringList freqs;
        for (double f : options.crossovers)
            freqs << QString::number(f);
        text = QString("%1 bands split at %2 Hz (%3)")
                   .arg(options.crossovers.size() + 1)
                   .arg(freqs.join(','))
                   .arg(options.fft          ? QString("FFT filters of %1 points").arg(options.fftSize)
                            : options.biquad ? QString("second-order crossovers")
                                             : QString("first-order crossovers"));
    }
    if (!options.noLimit)
        text += QString(", limited at %1 dBTP").arg(options.truePeakDb);
    if (options.limit)
        text += QString(" with %1 dB make-up").arg(options.limitDb);
    return text.toStdString();
}
