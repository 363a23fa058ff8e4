#include "AppCommon.h"
#include "CommandRegistry.h"

#include "RMSStepDetector.h"
#include "SoundBuffer.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <cstdio>

using namespace AppCommon;

namespace {

// Noise estimation: one second of the quietest material per five minutes;
// regions more than 60 dB below the loudest are digital silence, not noise.
constexpr double kQuietSeconds = 1.0;
constexpr double kSilenceRangeDb = 60.0;

double powerDb(double power)
{
    return SoundTools::linearToDb(std::sqrt(std::max(power, 0.0)));
}

QJsonObject regionsJson(const RMSStepDetector& detector, const QString& file, unsigned rate)
{
    QJsonArray list;
    for (int i = 0; i < detector.size(); ++i) {
        const RMSStepDetector::Region r = detector.getRegion(i);
        QJsonObject region;
        region["start"] = r.start;
        region["length"] = r.length;
        region["startSeconds"] = double(r.start) / rate;
        region["lengthSeconds"] = double(r.length) / rate;
        region["powerLeftDb"] = powerDb(r.powerLeft);
        region["powerRightDb"] = powerDb(r.powerRight);
        region["count"] = r.count;
        region["noise"] = r.isNoise;
        list.append(region);
    }
    QJsonObject root;
    root["file"] = file;
    root["sampleRate"] = static_cast<int>(rate);
    root["noiseLevelDb"] = detector.getNoiseLevelDb();
    root["segments"] = detector.GetSegmentsNumber();
    root["regions"] = list;
    return root;
}

int runRegions(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Cuts IN into level regions: a new region starts where the short-term level moves by more than --step "
        "dB from the mean of the region so far; regions shorter than --min seconds join the one before. Regions "
        "more than --noise dB below the loudest are marked as noise (shown in brackets).");
    parser.addPositionalArgument("IN", "Input file (.wav, .flac, .ogg, .mp3).");
    parser.addOption({"step", "Level step that starts a new region, in dB (default 5).", "DB", "5"});
    parser.addOption({"min", "Shortest region, in seconds (default 5).", "SECONDS", "5"});
    parser.addOption({"noise", "Noise level relative to the loudest region, in dB (default -40).", "DB", "-40"});
    parser.addOption({"window", "Length of the level measurement window, in seconds (default 0.2).", "SECONDS", "0.2"});
    parser.addOption({"estimate-noise", "Estimate the noise level from the recording instead of --noise."});
    parser.addOption({"merge", "Merge consecutive regions of signal, and of noise, into one region each."});
    parser.addOption({"json", "Print the regions as JSON (times in seconds, powers in dB)."});
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 1, "IN", exitCode))
        return exitCode;

    double stepDb = 0, minSeconds = 0, noiseDb = 0, windowSeconds = 0;
    if (!toNumber(parser.value("step"), stepDb) || stepDb <= 0) {
        printError(QString("--step needs a number of decibels > 0, not '%1'").arg(parser.value("step")));
        return ExitUsage;
    }
    if (!toNumber(parser.value("min"), minSeconds) || minSeconds < 0) {
        printError(QString("--min needs a number of seconds >= 0, not '%1'").arg(parser.value("min")));
        return ExitUsage;
    }
    if (!toNumber(parser.value("noise"), noiseDb) || noiseDb > 0) {
        printError(QString("--noise needs a number of decibels <= 0, not '%1'").arg(parser.value("noise")));
        return ExitUsage;
    }
    if (!toNumber(parser.value("window"), windowSeconds) || windowSeconds < 0 || windowSeconds > 60) {
        printError(QString("--window needs a number of seconds from 0 to 60, not '%1'").arg(parser.value("window")));
        return ExitUsage;
    }

    const QString in = parser.positionalArguments().at(0);
    auto reader = openReader(in);
    if (!reader)
        return ExitFailure;
    // Regions do not depend on the block size; 16k frames keep memory small.
    SoundBuffer::setDefaultSize(1u << 14);
    NodePtr node(new RMSStepDetector(stepDb, minSeconds, noiseDb, windowSeconds, RMSStepDetector::NoOutput));
    auto* detector = static_cast<RMSStepDetector*>(node.get());
    exitCode = runWithProgress(*detector, *reader, nullptr, "regions");
    if (exitCode != ExitOk)
        return exitCode;

    const bool json = parser.isSet("json");
    if (parser.isSet("estimate-noise")) {
        const double estimated = detector->estimateNoise(kQuietSeconds, kSilenceRangeDb);
        detector->applyNoise(estimated);
        if (!json)
            std::printf("Estimated noise level: %.2f dB\n", estimated);
    }
    if (parser.isSet("merge"))
        detector->mergeRegions();

    if (json) {
        const QByteArray text =
            QJsonDocument(regionsJson(*detector, in, reader->getSampleRate())).toJson(QJsonDocument::Indented);
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    } else {
        std::fflush(stdout);
        detector->printRegions(nullptr);
    }
    return ExitOk;
}

const bool registered =
    CommandRegistry::add({"regions", "Level regions and noise of a recording.", runRegions});

} // namespace
