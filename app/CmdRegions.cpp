#include "AppCommon.h"
#include "CommandRegistry.h"

#include "RMSStepDetector.h"
#include "RegionsJob.h"

#include <QCommandLineParser>

#include <cstdio>

using namespace AppCommon;

namespace {

int runRegions(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Cuts IN into level regions: a new region starts where the short-term level moves by more than --step "
        "dB from the mean of the region so far; regions shorter than --min seconds join the one before. Regions "
        "more than --noise dB below the loudest are marked as noise (shown in brackets).");
    parser.addPositionalArgument("IN", "Input file (.wav, .flac, .ogg, .mp3).");
    const RegionAnalysis::Settings defaults;
    parser.addOption({"step", QString("Level step that starts a new region, in dB (default %1).").arg(defaults.stepDb),
                      "DB"});
    parser.addOption({"min", QString("Shortest region, in seconds (default %1).").arg(defaults.minRegionSeconds),
                      "SECONDS"});
    parser.addOption({"noise", QString("Noise level relative to the loudest region, in dB (default %1).").arg(defaults.noiseDb),
                      "DB"});
    parser.addOption({"window", QString("Length of the level measurement window, in seconds (default %1).").arg(defaults.windowSeconds),
                      "SECONDS"});
    parser.addOption({"estimate-noise", "Estimate the noise level from the recording instead of --noise."});
    parser.addOption({"merge", "Merge consecutive regions of signal, and of noise, into one region each."});
    parser.addOption({"json", "Print the regions as JSON (times in seconds, powers in dB)."});
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 1, "IN", exitCode))
        return exitCode;

    RegionsJob::Options options;
    std::string error;
    for (const char* name : {"step", "min", "noise", "window"})
        if (parser.isSet(name) && !options.set(name, parser.value(name).toStdString(), error)) {
            printError(QString::fromStdString(error));
            return ExitUsage;
        }
    options.estimateNoise = parser.isSet("estimate-noise");
    options.merge = parser.isSet("merge");

    const QString in = parser.positionalArguments().at(0);
    auto reader = openReader(in);
    if (!reader)
        return ExitFailure;
    options.input = in.toStdString();
    RegionsJob job(options);
    job.setInput(std::move(reader));
    exitCode = runJob(job);
    if (exitCode != ExitOk)
        return exitCode;

    const bool json = parser.isSet("json");
    if (job.result().noiseEstimated && !json)
        std::printf("Estimated noise level: %.2f dB\n", job.result().estimatedNoiseDb);
    if (json) {
        printJson(job.resultJson());
    } else {
        std::fflush(stdout);
        job.detector()->printRegions(nullptr);
    }
    return ExitOk;
}

const bool registered = CommandRegistry::add({"regions", "Level regions and noise of a recording.", runRegions});

} // namespace
