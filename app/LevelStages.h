#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <vector>

class RMSStepDetector;
class SoundAlgo;

/// The options of `tevo level` that shape its output stages: a final
/// look-ahead limiter (--limit, --attack, --release) and multiband levelling
/// (--multiband, --fft, --biquad) in place of the single amplifier.
namespace LevelStages {

struct Options {
    bool limit = false;           ///< --limit given
    double limitDb = 0.0;         ///< make-up gain of the final limiter
    bool noLimit = false;         ///< --no-limit: no final limiter at all
    double truePeakDb = -1.0;     ///< ceiling of the final limiter, dBTP
    double attackSeconds = 0.005; ///< look-ahead of every limiter
    double releaseSeconds = 0.1;  ///< limiter release; band amplifiers ramp over it too
    std::vector<double> crossovers; ///< Hz, ascending; empty: single band
    bool fft = false;
    unsigned fftSize = 2048;
    bool biquad = false;
};

/// Declares the options to the parser.
void addOptions(QCommandLineParser& parser);

/// --fft takes an optional size, which the parser cannot express: a bare
/// "--fft" (not followed by a whole number) becomes "--fft=<default size>".
QStringList normaliseArguments(const QStringList& args);

/// Reads the options; false with `error` set on a bad value or combination.
/// `levelDb` is the target level of the levelling.
bool parseOptions(const QCommandLineParser& parser, double levelDb, Options& options, QString& error);

/// Checks what depends on the input: crossovers below half the sample rate.
bool checkSampleRate(const Options& options, unsigned sampleRate, QString& error);

/// The levelling stage driven by `detector`: a SoundAlgoRMSAmplifier, or a
/// multiband amplifier whose band amplifiers all share the detector. The
/// caller owns the node.
SoundAlgo* makeLevelling(const Options& options, double levelDb, RMSStepDetector* detector, double rampSeconds,
                         int smoothing, double maxGainDb);

/// The last stage: the limiter with true-peak detection at the --true-peak
/// ceiling whose make-up gain is `makeupDb`; with --no-limit a plain gain of
/// `makeupDb`, or null when that is 0 dB. The caller owns the node.
SoundAlgo* makeFinalLimiter(const Options& options, double makeupDb);


/// One line for the summaries: "multiband 200,2000 Hz (FFT 2048)" etc.
QString describe(const Options& options);

} // namespace LevelStages
