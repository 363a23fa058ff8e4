#include "LevelStages.h"

#include "SoundAlgoFFTFilter.h"

#include "AppCommon.h"

#include "RMSStepDetector.h"
#include "SoundAlgoFFTMultibandAmplifier.h"
#include "SoundAlgoFilterMultibandAmplifier.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundAlgoScale.h"

#include <algorithm>

namespace LevelStages {

namespace {

constexpr unsigned kDefaultFftSize = 2048;
// From SoundAlgoFFTFilter::getMinFullSize() on every band filter gets its
// full taps (the spectra must hold more bins than taps), so all bands lag alike.
constexpr unsigned kMaxFftSize = 65536;

bool isWholeNumber(const QString& text)
{
    bool ok = false;
    text.toUInt(&ok);
    return ok;
}

} // namespace

void addOptions(QCommandLineParser& parser)
{
    parser.addOption({"limit", "Make-up gain of the final limiter, in dB (default 0): the whole output is raised "
                               "by DB and its peaks held under the --true-peak ceiling. Not with --target, which "
                               "computes this gain itself.",
                      "DB"});
    parser.addOption({"true-peak", "Ceiling of the final limiter, in dBTP: true peaks (4x oversampled, as loudness "
                                   "meters measure them) of the output stay below it (default -1).",
                      "DBTP", "-1"});
    parser.addOption({"no-limit", "Leave out the final limiter: the output may clip."});
    parser.addOption({"attack", "Look-ahead of the limiters, in seconds (default 0.005).", "SECONDS", "0.005"});
    parser.addOption({"release", "Release of the limiters, in seconds (default 0.1); with --multiband also the "
                                 "ramp of the band amplifiers.",
                      "SECONDS", "0.1"});
    parser.addOption({"multiband", "Level band by band, split at the crossover frequencies F1,F2,... (Hz, "
                                   "ascending); every band is limited and the sum limited again. The band gains "
                                   "are capped at 20 dB.",
                      "F1,F2,..."});
    parser.addOption({"fft", "With --multiband: filter the bands with FFT filters of SIZE points (default 2048, "
                             "even, 1024 to 65536) instead of crossover filters.",
                      "SIZE"});
    parser.addOption({"biquad", "With --multiband: second-order crossover filters instead of first-order ones."});
}

QStringList normaliseArguments(const QStringList& args)
{
    QStringList out;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == "--fft" && (i + 1 >= args.size() || !isWholeNumber(args[i + 1]))) {
            out << QString("--fft=%1").arg(kDefaultFftSize);
            continue;
        }
        out << args[i];
    }
    return out;
}

bool parseOptions(const QCommandLineParser& parser, double levelDb, Options& options, QString& error)
{
    using AppCommon::toNumber;
    if (parser.isSet("limit")) {
        options.limit = true;
        if (!toNumber(parser.value("limit"), options.limitDb) || options.limitDb < -60 || options.limitDb > 60) {
            error = QString("--limit needs a number of decibels from -60 to 60, not '%1'").arg(parser.value("limit"));
            return false;
        }
    }
    if (!toNumber(parser.value("attack"), options.attackSeconds) || options.attackSeconds < 0
        || options.attackSeconds > 1) {
        error = QString("--attack needs a number of seconds from 0 to 1, not '%1'").arg(parser.value("attack"));
        return false;
    }
    if (!toNumber(parser.value("release"), options.releaseSeconds) || options.releaseSeconds < 0
        || options.releaseSeconds > 10) {
        error = QString("--release needs a number of seconds from 0 to 10, not '%1'").arg(parser.value("release"));
        return false;
    }
    if (parser.isSet("multiband")) {
        const QStringList parts = parser.value("multiband").split(',');
        for (const QString& part : parts) {
            double freq = 0.0;
            if (!toNumber(part, freq) || freq <= 0) {
                error = QString("--multiband needs frequencies in Hz above 0, separated by commas, not '%1'")
                            .arg(parser.value("multiband"));
                return false;
            }
            if (!options.crossovers.empty() && freq <= options.crossovers.back()) {
                error = QString("--multiband needs ascending frequencies, not '%1'").arg(parser.value("multiband"));
                return false;
            }
            options.crossovers.push_back(freq);
        }
    }
    const bool multiband = !options.crossovers.empty();
    options.noLimit = parser.isSet("no-limit");
    if (!toNumber(parser.value("true-peak"), options.truePeakDb) || options.truePeakDb < -20
        || options.truePeakDb > 0) {
        error = QString("--true-peak needs a number of dBTP from -20 to 0, not '%1'").arg(parser.value("true-peak"));
        return false;
    }
    if (options.noLimit && (options.limit || parser.isSet("true-peak"))) {
        error = "--no-limit leaves out the limiter that --limit and --true-peak set up: give one or the other";
        return false;
    }
    if ((parser.isSet("attack") || parser.isSet("release")) && options.noLimit && !multiband) {
        error = "--attack and --release set the limiter, which --no-limit leaves out";
        return false;
    }
    if (parser.isSet("fft")) {
        options.fft = true;
        bool ok = false;
        options.fftSize = parser.value("fft").toUInt(&ok);
        if (!ok || options.fftSize < SoundAlgoFFTFilter::getMinFullSize() || options.fftSize > kMaxFftSize || options.fftSize % 2 != 0) {
            error = QString("--fft needs an even size from %1 to %2, not '%3'")
                        .arg(SoundAlgoFFTFilter::getMinFullSize())
                        .arg(kMaxFftSize)
                        .arg(parser.value("fft"));
            return false;
        }
    }
    options.biquad = parser.isSet("biquad");
    if ((options.fft || options.biquad) && !multiband) {
        error = "--fft and --biquad need --multiband";
        return false;
    }
    if (options.fft && options.biquad) {
        error = "--biquad chooses crossover filters, which --fft replaces: give one of them";
        return false;
    }
    if (multiband && parser.isSet("ramp")) {
        error = "--ramp does not apply with --multiband: the band amplifiers ramp over --release";
        return false;
    }
    if (options.fft && levelDb == 0.0) {
        // The FFT build takes a level of exactly 0 dB as "bands only".
        error = "--multiband with --fft needs a --level below 0 dB";
        return false;
    }
    return true;
}

bool checkSampleRate(const Options& options, unsigned sampleRate, QString& error)
{
    if (!options.crossovers.empty() && options.crossovers.back() >= sampleRate / 2.0) {
        error = QString("--multiband frequencies must stay below half the sample rate (%1 Hz)")
                    .arg(sampleRate / 2.0);
        return false;
    }
    return true;
}

SoundAlgo* makeLevelling(const Options& options, double levelDb, RMSStepDetector* detector, double rampSeconds,
                         int smoothing, double maxGainDb)
{
    if (options.crossovers.empty())
        return new SoundAlgoRMSAmplifier(levelDb, detector, rampSeconds, smoothing, maxGainDb);
    if (options.fft)
        return new SoundAlgoFFTMultibandAmplifier(options.crossovers, levelDb, options.attackSeconds,
                                                  options.releaseSeconds, detector, options.fftSize, true);
    return new SoundAlgoFilterMultibandAmplifier(options.crossovers, levelDb, options.attackSeconds,
                                                 options.releaseSeconds, detector, options.biquad, smoothing);
}

SoundAlgo* makeFinalLimiter(const Options& options, double makeupDb)
{
    if (options.noLimit)
        return makeupDb != 0.0 ? new SoundAlgoScale(makeupDb) : nullptr;
    auto* limiter = new SoundAlgoLimiter(makeupDb, options.attackSeconds, options.releaseSeconds, nullptr);
    limiter->setTruePeak(true);
    limiter->setCeiling(options.truePeakDb);
    return limiter;
}

QString describe(const Options& options)
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
                   .arg(options.fft ? QString("FFT filters of %1 points").arg(options.fftSize)
                                    : options.biquad ? QString("second-order crossovers")
                                                     : QString("first-order crossovers"));
    }
    if (!options.noLimit)
        text += QString(", limited at %1 dBTP").arg(options.truePeakDb);
    if (options.limit)
        text += QString(" with %1 dB make-up").arg(options.limitDb);
    return text;
}

} // namespace LevelStages
