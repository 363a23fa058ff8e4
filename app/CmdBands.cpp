// `tevo bands`: RMS and peak level of each frequency band of a recording,
// and the band report step of `tevo demo`.

#include "AppCommon.h"
#include "CommandRegistry.h"

#include "BandsJob.h"

#include <QCommandLineParser>

#include <cstdio>
#include <vector>

using namespace AppCommon;

namespace {

/// Measures every band of `path` and prints one line per band; the exit code.
int reportBands(const QString& path, const std::vector<double>& freqs)
{
    auto reader = openReader(path);
    if (!reader)
        return ExitFailure;
    BandsJob::Options options;
    options.input = path.toStdString();
    options.crossoversHz = freqs;
    BandsJob job(options);
    job.setInput(std::move(reader));
    const int exitCode = runJob(job);
    if (exitCode != ExitOk)
        return exitCode;

    std::printf("%-6s %10s %10s %9s %9s %9s %9s\n", "band", "from Hz", "to Hz", "RMS L", "RMS R", "peak L",
                "peak R");
    unsigned b = 0;
    for (const BandsJob::Band& band : job.result().bands)
        std::printf("%-6u %10.0f %10.0f %9.2f %9.2f %9.2f %9.2f\n", b++, band.fromHz, band.toHz,
                    band.levels.rmsLeftDb, band.levels.rmsRightDb, band.levels.peakLeftDb, band.levels.peakRightDb);
    std::printf("(levels in dB relative to full scale; -100 dB stands for silence)\n");
    return ExitOk;
}

int runBands(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Splits IN into frequency bands at the crossover frequencies (FFT filters, -60 dB stop bands) and "
        "prints the RMS and peak level of each band and channel.");
    parser.addPositionalArgument("IN", "Input file (.wav, .flac, .ogg, .mp3).");
    parser.addOption({"crossovers", "Crossover frequencies in Hz, ascending, e.g. 250,2000.", "F1,F2,..."});
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 1, "IN", exitCode))
        return exitCode;
    BandsJob::Options options;
    std::string error;
    if (parser.isSet("crossovers") && !options.set("crossovers", parser.value("crossovers").toStdString(), error)) {
        printError(QString::fromStdString(error));
        return ExitUsage;
    }
    error = options.check();
    if (!error.empty()) {
        printError(QString::fromStdString(error));
        return ExitUsage;
    }
    return reportBands(parser.positionalArguments().at(0), options.crossoversHz);
}

const bool registered = CommandRegistry::add({"bands", "RMS and peak level of each frequency band of a recording.", runBands});

bool demoBands(CommandRegistry::DemoContext& demo)
{
    std::printf("  bands of %s at 250 Hz and 2000 Hz:\n", qPrintable(demo.recording));
    return reportBands(demo.recording, {250.0, 2000.0}) == ExitOk;
}

const bool demoStep = CommandRegistry::addDemoStep({600, "Band report (FFT filters at 250 Hz and 2 kHz)", demoBands});

} // namespace
