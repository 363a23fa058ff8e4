#include "AppCommon.h"
#include "CommandRegistry.h"
#include "TagOptions.h"

#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundBuffer.h"
#include "SoundWriterMp3.h"
#include "SoundWriterMultiFile.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonObject>
#include <QDir>
#include <QFileInfo>

#include <climits>
#include <cstdio>

using namespace AppCommon;

namespace {

// Regions shorter than this merge into their neighbour: a pause must last
// half a second to end a passage (the detector pushes nothing shorter anyway).
constexpr double kRegionSeconds = 0.5;
// Noise estimation: one second of the quietest material per five minutes,
// and regions more than 60 dB below the loudest count as digital silence.
constexpr double kQuietSeconds = 1.0;
constexpr double kSilenceRangeDb = 60.0;

struct SplitOptions {
    double minSeconds = 3.0;
    double stepDb = 5.0;
    double noiseDb = -40.0;
    bool estimateNoise = false;
    unsigned bitrate = 192;
    OutputOptions output;
    TagOptions::Overrides tags; ///< replace the input's tags field by field
    bool progress = true; ///< progress display on standard error
    bool json = false;    ///< results as one JSON object
};

struct SplitResult {
    int exitCode = ExitOk;
    QStringList files;
};

/// Runs the detector over `in`, then cuts `in` into numbered files after
/// `pattern`. Prints what it wrote; errors go to standard error.
SplitResult splitFile(const QString& in, const QString& pattern, SplitOptions options)
{
    SplitResult result;
    SegmentOutputs outputs;
    {
        // Refused names end the command before anything is read.
        SoundWriterMultiFile names(nullptr, 0.0, 44100, 2, options.bitrate, SoundTools::PCM16);
        if (names.open(pattern.toUtf8().constData()) == SoundTools::StatusOk) {
            result.exitCode = outputs.prepare(names, {in});
            if (result.exitCode != ExitOk)
                return result;
        }
    }
    auto reader = openReader(in, options.output.start);
    if (!reader) {
        result.exitCode = ExitFailure;
        return result;
    }
    if (const int refused = checkStartAndRange(*reader, options.output)) {
        result.exitCode = refused;
        return result;
    }
    const unsigned rate = reader->getSampleRate();
    followInput(options.output, *reader);

    // Neither the passages nor the copies depend on the block size; 16k
    // frames keep memory small.
    SoundBuffer::setDefaultSize(1u << 14);
    NodePtr detectorNode(new RMSStepDetector(options.stepDb, kRegionSeconds, options.noiseDb, 0.2,
                                             RMSStepDetector::NoOutput));
    auto* detector = static_cast<RMSStepDetector*>(detectorNode.get());
    if (options.progress) {
        result.exitCode = runWithProgress(*detector, *reader, nullptr, "analyse");
    } else if (detector->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(detector->getError()));
        result.exitCode = ExitFailure;
    }
    if (result.exitCode != ExitOk)
        return result;
    if (options.estimateNoise) {
        const double noiseDb = detector->estimateNoise(kQuietSeconds, kSilenceRangeDb);
        detector->applyNoise(noiseDb);
        if (!options.json)
            std::printf("Estimated noise level: %.1f dB\n", noiseDb);
    }

    SoundWriterMultiFile writer(detector, options.minSeconds, rate, 2, options.bitrate, options.output.format);
    writer.setSegmentFiles(&outputs);
    writer.setFileChannels(options.output.channels);
    const QByteArray patternUtf8 = pattern.toUtf8();
    {
        // Dither when the segment files hold fewer bits than the input.
        std::unique_ptr<SoundWriter> probe(
            SoundWriter::getFromFilename(patternUtf8.constData(), rate, options.bitrate, options.output.format));
        const unsigned bits = probe ? probe->getFileBits() : 0;
        const unsigned sourceBits = reader->getInputFormat() == SoundTools::PCM8    ? 8
                                    : reader->getInputFormat() == SoundTools::PCM16 ? 16
                                    : reader->getInputFormat() == SoundTools::PCM24 ? 24
                                                                                    : 32;
        writer.setDither(options.output.dither && bits != 0 && bits < sourceBits);
    }
    if (writer.open(patternUtf8.constData()) != SoundTools::StatusOk) {
        printError(QString::fromUtf8(writer.getError()));
        result.exitCode = ExitFailure;
        return result;
    }
    SoundIDTag tags = TagOptions::carry(*reader, options.tags);
    // Every part is numbered: the writer replaces the track with the part's
    // number whenever a part carries any tag.
    tags.track = "1";
    writer.setTags(tags);
    // The writer places its frames at range start + frames written, the
    // coordinates of the regions: start the range where the run starts.
    int from = reader->getStartOffset();
    int to = INT_MAX;
    if (options.output.hasRange) {
        from = std::max(from, SoundTools::secondsToFrames(options.output.rangeFrom, rate));
        to = SoundTools::secondsToFrames(options.output.rangeTo, rate);
    }
    writer.setRange(from, to);

    reader->rewind();
    NodePtr copy(new SoundAlgoBypass());
    if (options.progress) {
        result.exitCode = runWithProgress(*copy, *reader, &writer, "split");
    } else {
        if (copy->processAll(*reader, &writer) != SoundTools::StatusOk) {
            printError(QString::fromUtf8(copy->getError()));
            result.exitCode = ExitFailure;
        }
        writer.close();
    }
    if (result.exitCode == ExitOk && writer.closeFailed()) {
        printError(QString::fromUtf8(writer.getError()));
        result.exitCode = ExitFailure;
    }
    result.exitCode = outputs.finish(result.exitCode);
    if (result.exitCode != ExitOk)
        return result;

    double totalSeconds = 0.0;
    QJsonArray written;
    for (int i = 1; i <= writer.GetWrittenFiles(); ++i) {
        const QString name = QString::fromStdString(writer.getSegmentName(i));
        result.files << name;
        // Lengths come from the files themselves, so the report shows what
        // is on disk (raw files, which carry no header, show none).
        std::unique_ptr<SoundReader> check(SoundReader::getFromFilename(writer.getSegmentName(i).c_str()));
        const bool known = check && check->open(writer.getSegmentName(i).c_str()) == SoundTools::StatusOk;
        QJsonObject file;
        file["name"] = name;
        if (known) {
            totalSeconds += check->getLength();
            file["lengthSeconds"] = check->getLength();
        }
        written.append(file);
        if (options.json)
            continue;
        if (known)
            std::printf("  wrote %s (%s)\n", qPrintable(name), check->getLengthString().c_str());
        else
            std::printf("  wrote %s\n", qPrintable(name));
    }
    if (options.json) {
        QJsonObject report;
        report["file"] = in;
        report["files"] = written;
        report["totalSeconds"] = totalSeconds;
        printJson(report);
        return result;
    }
    std::printf("%d file(s) written, %s in total\n", writer.GetWrittenFiles(),
                SoundReader::formatLength(totalSeconds).c_str());
    return result;
}

int runSplit(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Cuts IN into one file per passage of signal: a first run measures the level regions and marks the "
        "noise, a second run writes each passage that lasts at least --min seconds into its own file, named "
        "after OUTPATH with a three-digit number (concert.wav gives 001-concert.wav, 002-concert.wav, ...). "
        "Silences and noise between passages are dropped. The container follows OUTPATH's extension.");
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addPositionalArgument("OUTPATH", "Pattern of the output names, e.g. out/concert.flac.");
    parser.addOption({"min", "Shortest passage that gets a file, in seconds.", "SECONDS", "3"});
    parser.addOption({"step", "Level step that starts a new region, in dB.", "DB", "5"});
    parser.addOption({"noise", "Noise level relative to the loudest region, in dB.", "DB", "-40"});
    parser.addOption({"estimate-noise", "Estimate the noise level from the recording instead of --noise."});
    parser.addOption({"bitrate", "MP3 bit rate in kbit/s.", "KBPS", "192"});
    addOutputOptions(parser);
    addJsonOption(parser);
    TagOptions::addOptions(parser, TagOptions::Target::Parts);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 2, "IN and OUTPATH", exitCode))
        return exitCode;

    SplitOptions options;
    QString error;
    if (!parseOutputOptions(parser, options.output, error)) {
        printError(error);
        return ExitUsage;
    }
    if (!toNumber(parser.value("min"), options.minSeconds) || options.minSeconds < 0) {
        printError(QString("--min needs a number of seconds >= 0, not '%1'").arg(parser.value("min")));
        return ExitUsage;
    }
    if (!toNumber(parser.value("step"), options.stepDb) || options.stepDb <= 0) {
        printError(QString("--step needs a number of decibels > 0, not '%1'").arg(parser.value("step")));
        return ExitUsage;
    }
    if (!toNumber(parser.value("noise"), options.noiseDb) || options.noiseDb > 0) {
        printError(QString("--noise needs a number of decibels <= 0, not '%1'").arg(parser.value("noise")));
        return ExitUsage;
    }
    double bitrate = 0;
    if (!toNumber(parser.value("bitrate"), bitrate) || bitrate < 8 || bitrate > 320) {
        printError(QString("--bitrate needs a number of kbit/s from 8 to 320, not '%1'").arg(parser.value("bitrate")));
        return ExitUsage;
    }
    options.bitrate = static_cast<unsigned>(bitrate);
    options.estimateNoise = parser.isSet("estimate-noise");
    options.json = parser.isSet("json");
    options.tags = TagOptions::parse(parser);

    const QStringList positional = parser.positionalArguments();
    // Catch an output name without a container, or a missing folder, before
    // the analysis rather than at the first passage.
    const QByteArray pattern = positional.at(1).toUtf8();
    std::unique_ptr<SoundWriter> probe(SoundWriter::getFromFilename(pattern.constData(), 44100, 192, SoundTools::PCM16));
    if (!probe) {
        printError(QString("%1 : unknown output type; the name must end in %2")
                       .arg(positional.at(1), SoundWriter::writableExtensions()));
        return ExitUsage;
    }
    const QFileInfo outInfo(positional.at(1));
    if (!outInfo.fileName().isEmpty() && !outInfo.dir().exists()) {
        printError(QString("%1 : the folder does not exist").arg(positional.at(1)));
        return ExitFailure;
    }
    return splitFile(positional.at(0), positional.at(1), options).exitCode;
}

bool demoSplit(CommandRegistry::DemoContext& demo)
{
    const QDir dir(demo.dir);
    if (!dir.mkpath("split")) {
        printError(QString("%1 : cannot create the folder").arg(dir.filePath("split")));
        return false;
    }
    SplitOptions options;
    options.minSeconds = 1.0;
    options.progress = false;
    options.tags.album = "tevo demo";
    options.tags.title = "passage";
    std::printf("Passages of the recording, one WAV file each:\n");
    bool ok = splitFile(demo.recording, dir.filePath("split/recording.wav"), options).exitCode == ExitOk;

    if (!SoundWriterMp3::Init()) {
        std::printf("MP3 encoder (libmp3lame) not found: no MP3 version.\n");
        return ok;
    }
    auto reader = openReader(demo.recording);
    if (!reader)
        return false;
    const QString mp3 = dir.filePath("recording.mp3");
    auto writer = openWriter(mp3, reader->getSampleRate(), SoundTools::PCM16, 192);
    if (!writer)
        return false;
    SoundIDTag tags;
    tags.title = "Demo recording";
    tags.album = "tevo demo";
    tags.year = "2024";
    tags.comment = "synthesised by tevo demo";
    tags.genre = "Speech";
    writer->setTags(tags);
    NodePtr copy(new SoundAlgoBypass());
    const SoundTools::Status status = copy->processAll(*reader, writer.get());
    writer->close();
    if (status != SoundTools::StatusOk) {
        printError(QString::fromUtf8(copy->getError()));
        return false;
    }
    std::printf("  wrote %s (192 kbit/s)\n", qPrintable(mp3));
    return ok;
}

const bool registered = CommandRegistry::add(
    {"split", "Cut a recording into one file per passage of signal.", runSplit});
const bool demoStep = CommandRegistry::addDemoStep({500, "Split into passages, and an MP3 version", demoSplit});

} // namespace
