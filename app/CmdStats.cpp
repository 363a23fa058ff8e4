#include "AppCommon.h"
#include "CommandRegistry.h"

#include "LoudnessPlot.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoStats.h"
#include "SoundBuffer.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonObject>

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
        "oversampled) and sample peak.");
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addOption({"plot", "Draw the short-term loudness over time into FILE (.svg or .png).", "FILE"});
    addJsonOption(parser);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 1, "IN", exitCode))
        return exitCode;
    const QString plotPath = parser.value("plot");
    QString error;
    if (parser.isSet("plot") && !LoudnessPlot::checkPath(plotPath, error)) {
        printError(error);
        return ExitUsage;
    }

    auto reader = openReader(parser.positionalArguments().at(0));
    if (!reader)
        return ExitFailure;
    // Statistics do not depend on the block size: blocks of 64k frames keep
    // the buffers in cache and halve the time of the default 1M-frame blocks.
    SoundBuffer::setDefaultSize(1u << 16);
    // StatsOnly: no sliding window, so nothing delays or pads the count.
    auto* stats = new SoundAlgoStats(SoundAlgoStats::StatsOnly);
    auto* loudness = new SoundAlgoLoudness();
    // The chain takes over the creation references; the two extra ones keep
    // the figures readable after the run.
    NodePtr statsRef(stats);
    NodePtr loudnessRef(loudness);
    stats->addReference();
    loudness->addReference();
    NodePtr chain(new SoundAlgoComposite("stats", true));
    static_cast<SoundAlgoComposite*>(chain.get())->pushAlgo(stats);
    static_cast<SoundAlgoComposite*>(chain.get())->pushAlgo(loudness);
    exitCode = runWithProgress(*chain, *reader, nullptr, "stats");
    if (exitCode != ExitOk)
        return exitCode;

    SoundTools::StereoFrame<double> rms{-100.0, -100.0};
    SoundTools::StereoFrame<double> peak{-100.0, -100.0};
    double total = -100.0;
    stats->getGlobalStats(rms, total, peak);
    if (parser.isSet("json")) {
        QJsonObject result;
        result["file"] = parser.positionalArguments().at(0);
        result["rmsDb"] = total;
        result["rmsLeftDb"] = rms.left;
        result["rmsRightDb"] = rms.right;
        result["peakLeftDb"] = peak.left;
        result["peakRightDb"] = peak.right;
        result["integratedLufs"] = loudness->getIntegrated();
        result["loudnessRangeLu"] = loudness->getLoudnessRange();
        result["momentaryMaxLufs"] = loudness->getMomentaryMax();
        result["shortTermMaxLufs"] = loudness->getShortTermMax();
        result["truePeakDbtp"] = loudness->getTruePeak();
        result["samplePeakDbfs"] = loudness->getSamplePeak();
        printJson(result);
    } else {
        std::printf("RMS        %8.2f dB\n", total);
        std::printf("RMS left   %8.2f dB\n", rms.left);
        std::printf("RMS right  %8.2f dB\n", rms.right);
        std::printf("Peak left  %8.2f dB\n", peak.left);
        std::printf("Peak right %8.2f dB\n", peak.right);
        LoudnessPlot::printLoudness(*loudness, "");
    }
    if (parser.isSet("plot")) {
        LoudnessPlot::Series series;
        series.inputShortTerm = loudness->getShortTermHistory();
        series.step = loudness->getHistoryStep();
        series.title = QFileInfo(parser.positionalArguments().at(0)).fileName();
        if (!LoudnessPlot::draw(series, plotPath, error)) {
            printError(error);
            return ExitFailure;
        }
    }
    return ExitOk;
}

const bool registered =
    CommandRegistry::add({"stats", "Whole-file RMS, peak and loudness (LUFS, LRA, true peak) of a recording.", runStats});

} // namespace
