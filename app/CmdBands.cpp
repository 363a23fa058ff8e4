// `tevo bands`: RMS and peak level of each frequency band of a recording,
// and the band report step of `tevo demo`.

#include "AppCommon.h"
#include "CommandRegistry.h"

#include "SoundAlgoFFTMultiStats.h"
#include "SoundAlgoStats.h"
#include "SoundBuffer.h"

#include <QCommandLineParser>

#include <cstdio>
#include <vector>

using namespace AppCommon;

namespace {

/// Crossovers "F1,F2,...": positive and strictly ascending.
bool parseCrossovers(const QString& text, std::vector<double>& freqs, QString& error)
{
    freqs.clear();
    for (const QString& part : text.split(',')) {
        double f = 0;
        if (!toNumber(part, f) || f <= 0 || (!freqs.empty() && f <= freqs.back())) {
            error = QString("--crossovers needs ascending frequencies in Hz above 0, separated by commas, not '%1'")
                        .arg(text);
            return false;
        }
        freqs.push_back(f);
    }
    return true;
}

/// Measures every band of `path` and prints one line per band; the exit code.
int reportBands(const QString& path, std::vector<double> freqs)
{
    auto reader = openReader(path);
    if (!reader)
        return ExitFailure;
    const double nyquist = reader->getSampleRate() / 2.0;
    if (freqs.back() >= nyquist) {
        printError(QString("--crossovers: %1 Hz is not below half the sample rate (%2 Hz)")
                       .arg(freqs.back())
                       .arg(nyquist));
        return ExitUsage;
    }
    // With the bands summed the composite has one output and runs on its own;
    // the sum itself is not written anywhere.
    // The figures do not depend on the block size; 16k frames keep memory small.
    SoundBuffer::setDefaultSize(1u << 14);
    auto* multi = new SoundAlgoFFTMultiStats(freqs, 0, true);
    NodePtr node(multi);
    const int exitCode = runWithProgress(*multi, *reader, nullptr, "bands");
    if (exitCode != ExitOk)
        return exitCode;

    std::printf("%-6s %10s %10s %9s %9s %9s %9s\n", "band", "from Hz", "to Hz", "RMS L", "RMS R", "peak L",
                "peak R");
    for (unsigned b = 0; b < multi->getBandNumber(); ++b) {
        SoundTools::StereoFrame<double> rms{-100.0, -100.0};
        SoundTools::StereoFrame<double> peak{-100.0, -100.0};
        double total = -100.0;
        multi->GetStats(static_cast<int>(b))->getGlobalStats(rms, total, peak);
        const double from = b == 0 ? 0.0 : freqs[b - 1];
        const double to = b < freqs.size() ? freqs[b] : nyquist;
        std::printf("%-6u %10.0f %10.0f %9.2f %9.2f %9.2f %9.2f\n", b, from, to, rms.left, rms.right, peak.left,
                    peak.right);
    }
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
    if (!parser.isSet("crossovers")) {
        printError("--crossovers is required (e.g. --crossovers 250,2000)");
        return ExitUsage;
    }
    std::vector<double> freqs;
    QString error;
    if (!parseCrossovers(parser.value("crossovers"), freqs, error)) {
        printError(error);
        return ExitUsage;
    }
    return reportBands(parser.positionalArguments().at(0), freqs);
}

const bool registered =
    CommandRegistry::add({"bands", "RMS and peak level of each frequency band of a recording.", runBands});

bool demoBands(CommandRegistry::DemoContext& demo)
{
    std::printf("  bands of %s at 250 Hz and 2000 Hz:\n", qPrintable(demo.recording));
    return reportBands(demo.recording, {250.0, 2000.0}) == ExitOk;
}

const bool demoStep = CommandRegistry::addDemoStep({600, "Band report (FFT filters at 250 Hz and 2 kHz)", demoBands});

} // namespace
