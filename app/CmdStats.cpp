#include "AppCommon.h"
#include "BatchRun.h"
#include "CommandRegistry.h"

#include "LoudnessPlot.h"

#include "StatsJob.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

using namespace AppCommon;

namespace {

int runStats(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Measures the whole of IN: RMS level of each channel and of both together, and peak level of each "
        "channel, in dB relative to full scale (-100 dB stands for digital silence); and its loudness as "
        "broadcasters and podcasters measure it (ITU-R BS.1770-4, EBU R128): integrated loudness in LUFS, "
        "loudness range in LU, momentary (400 ms) and short-term (3 s) maxima, true peak in dBTP (4x "
        "oversampled) and sample peak. A mono file counts as its channel on two loudspeakers (EBU R128's dual "
        "mono), 3 LU above a meter that counts the one channel once: compare with ffmpeg's "
        "ebur128=dualmono=true, or add 3 LU to such a meter's figures.\n"
        "Batch: tevo stats IN... [-j N] [--json] measures N files at once and prints one line per file as it "
        "finishes (with --json one JSON object per line).");
    parser.addPositionalArgument("IN", "Input file, or - for standard input; several files make a batch.");
    parser.addOption({"plot", "Draw the short-term loudness over time into FILE (.svg or .png).", "FILE"});
    addJsonOption(parser);
    BatchRun::addOptions(parser, BatchRun::Output::None);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 1, "IN", exitCode, true))
        return exitCode;
    if (BatchRun::wanted(parser, BatchRun::Output::None)) {
        if (parser.isSet("plot")) {
            printError("--plot draws one file: measure the files one by one to draw them");
            return ExitUsage;
        }
        const auto make = [](const QString& input, const QString&) {
            StatsJob::Options options;
            options.input = input.toStdString();
            return std::make_unique<BatchRun::JobWork<StatsJob>>(options, [](const StatsJob& job) {
                const StatsJob::Result& r = job.result();
                return QString("RMS %1 dB, peak %2 dB, integrated %3, loudness range %4 LU, true peak %5")
                    .arg(r.levels.rmsDb, 0, 'f', 2)
                    .arg(std::max(r.levels.peakLeftDb, r.levels.peakRightDb), 0, 'f', 2)
                    .arg(LoudnessPlot::figure(r.loudness.integratedLufs, "LUFS", 0))
                    .arg(r.loudness.loudnessRangeLu, 0, 'f', 2)
                    .arg(LoudnessPlot::figure(r.loudness.truePeakDbtp, "dBTP", 0));
            });
        };
        return BatchRun(parser, BatchRun::Output::None).run(make);
    }
    const QString plotPath = parser.value("plot");
    QString error;
    if (parser.isSet("plot") && !LoudnessPlot::checkPath(plotPath, error)) {
        printError(error);
        return ExitUsage;
    }

    auto reader = openReader(parser.positionalArguments().at(0));
    if (!reader)
        return ExitFailure;
    StatsJob::Options options;
    options.input = parser.positionalArguments().at(0).toStdString();
    StatsJob job(options);
    job.setInput(std::move(reader));
    exitCode = runJob(job);
    if (exitCode != ExitOk)
        return exitCode;

    const StatsJob::Result& r = job.result();
    if (parser.isSet("json")) {
        printJson(job.resultJson());
    } else {
        std::printf("RMS        %8.2f dB\n", r.levels.rmsDb);
        std::printf("RMS left   %8.2f dB\n", r.levels.rmsLeftDb);
        std::printf("RMS right  %8.2f dB\n", r.levels.rmsRightDb);
        std::printf("Peak left  %8.2f dB\n", r.levels.peakLeftDb);
        std::printf("Peak right %8.2f dB\n", r.levels.peakRightDb);
        LoudnessPlot::printLoudness(r.loudness, "");
    }
    if (parser.isSet("plot")) {
        LoudnessPlot::Series series;
        series.inputShortTerm = r.loudness.shortTermHistory;
        series.step = r.loudness.historyStepSeconds;
        series.title = QFileInfo(parser.positionalArguments().at(0)).fileName();
        if (!LoudnessPlot::draw(series, plotPath, error)) {
            printError(error);
            return ExitFailure;
        }
    }
    return ExitOk;
}

const bool registered = CommandRegistry::add({"stats", "Whole-file RMS, peak and loudness (LUFS, LRA, true peak) of a recording.", runStats});

} // namespace
