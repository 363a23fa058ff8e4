#include "AppCommon.h"
#include "BatchRun.h"
#include "CommandRegistry.h"
#include "TagOptions.h"

#include "SoundAlgoBypass.h"
#include "SoundWriterMp3.h"
#include "SplitJob.h"

#include <QCommandLineParser>
#include <QDir>

#include <cstdio>

using namespace AppCommon;

namespace {

struct SplitRun {
    SplitJob::Options options;
    bool progress = true; ///< progress display on standard error
    bool json = false;    ///< results as one JSON object
};

/// One input of a batch: its parts go into a temporary folder under
/// temporary names, settled as a single split settles them.
class SplitWork : public BatchRun::Work {
public:
    explicit SplitWork(SplitJob::Options options)
        : split(writingTo(std::move(options), &outputs))
    {
        outputs.announce = false;
    }
    Job& job() override { return split; }
    int finish(int exitCode) override { return outputs.finish(exitCode); }
    QString summary() override
    {
        const SplitJob::Result& r = split.result();
        return QString("%1 file(s), %2 in total")
            .arg(r.files.size())
            .arg(QString::fromStdString(SoundReader::formatLength(r.totalSeconds)));
    }

private:
    static SplitJob::Options writingTo(SplitJob::Options options, SegmentOutputs* files)
    {
        options.segmentFiles = files;
        return options;
    }

    SegmentOutputs outputs; ///< before the job, which holds its address
    SplitJob split;
};

/// Runs the split of `run.options.input` into files after its pattern.
/// Prints what it wrote; errors go to standard error. The exit code.
int splitFile(SplitRun run)
{
    SegmentOutputs outputs;
    const QString in = QString::fromStdString(run.options.input);
    // Refused names end the command before anything is read.
    const int refused = outputs.prepare(QString::fromStdString(run.options.pattern), {in});
    if (refused != ExitOk)
        return refused;
    auto reader = openReader(in, run.options.out.startSeconds);
    if (!reader)
        return ExitFailure;
    run.options.segmentFiles = &outputs;
    SplitJob job(run.options);
    job.setInput(std::move(reader));
    const int exitCode = outputs.finish(runJob(job, run.progress));
    const SplitJob::Result& result = job.result();
    if (result.noiseEstimated && !run.json)
        std::printf("Estimated noise level: %.1f dB\n", result.estimatedNoiseDb);
    if (exitCode != ExitOk)
        return exitCode;
    if (run.json) {
        printJson(job.resultJson());
        return exitCode;
    }
    for (const SplitJob::File& file : result.files) {
        if (file.lengthKnown)
            std::printf("  wrote %s (%s)\n", file.name.c_str(), SoundReader::formatLength(file.lengthSeconds).c_str());
        else
            std::printf("  wrote %s\n", file.name.c_str());
    }
    std::printf("%d file(s) written, %s in total\n", int(result.files.size()),
                SoundReader::formatLength(result.totalSeconds).c_str());
    return exitCode;
}

int runSplit(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Cuts IN into one file per passage of signal: a first run measures the level regions and marks the "
        "noise, a second run writes each passage that lasts at least --min seconds into its own file, named "
        "after OUTPATH with a three-digit number (concert.wav gives 001-concert.wav, 002-concert.wav, ...). "
        "Silences and noise between passages are dropped. The container follows OUTPATH's extension.\n"
        "Batch: tevo split IN... -o DIR [-j N] [--skip-existing] [--json] cuts each input into a folder DIR/NAME "
        "of its own (DIR/NAME/001-NAME.EXT, ...; EXT --type's or the input's), N files at once, one line per "
        "file as it finishes.");
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addPositionalArgument("OUTPATH", "Pattern of the output names, e.g. out/concert.flac.");
    parser.addOption({"min", "Shortest passage that gets a file, in seconds.", "SECONDS"});
    parser.addOption({"step", "Level step that starts a new region, in dB.", "DB"});
    parser.addOption({"noise", "Noise level relative to the loudest region, in dB.", "DB"});
    parser.addOption({"estimate-noise", "Estimate the noise level from the recording instead of --noise."});
    parser.addOption({"bitrate", "MP3 bit rate in kbit/s.", "KBPS"});
    addOutputOptions(parser);
    addJsonOption(parser);
    TagOptions::addOptions(parser, TagOptions::Target::Parts);
    BatchRun::addOptions(parser, BatchRun::Output::Folder);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 2, "IN and OUTPATH", exitCode, true))
        return exitCode;

    SplitRun run;
    SplitJob::Options& options = run.options;
    QString error;
    if (!parseOutputOptions(parser, options.out, error)) {
        printError(error);
        return ExitUsage;
    }
    std::string text;
    for (const char* name : {"min", "step", "noise"})
        if (parser.isSet(name) && !options.set(name, parser.value(name).toStdString(), text)) {
            printError(QString::fromStdString(text));
            return ExitUsage;
        }
    if (parser.isSet("bitrate") && !options.out.setBitrate(parser.value("bitrate").toStdString(), text)) {
        printError(QString::fromStdString(text));
        return ExitUsage;
    }
    options.estimateNoise = parser.isSet("estimate-noise");
    run.json = parser.isSet("json");
    options.tags = TagOptions::parse(parser);

    if (BatchRun::wanted(parser, BatchRun::Output::Folder)) {
        const auto make = [&options](const QString& input, const QString& writePath) {
            SplitJob::Options one = options;
            one.input = input.toStdString();
            one.pattern = writePath.toStdString();
            return std::make_unique<SplitWork>(one);
        };
        return BatchRun(parser, BatchRun::Output::Folder).run(make);
    }
    const QStringList positional = parser.positionalArguments();
    options.input = positional.at(0).toStdString();
    options.pattern = positional.at(1).toStdString();
    // A name without a container, or a missing folder, ends the command
    // before the analysis.
    const Job::Status usable = options.check(text);
    if (usable != Job::Ok) {
        printError(QString::fromStdString(text));
        return usable;
    }
    return splitFile(run);
}

bool demoSplit(CommandRegistry::DemoContext& demo)
{
    const QDir dir(demo.dir);
    if (!dir.mkpath("split")) {
        printError(QString("%1 : cannot create the folder").arg(dir.filePath("split")));
        return false;
    }
    SplitRun run;
    run.options.input = demo.recording.toStdString();
    run.options.pattern = dir.filePath("split/recording.wav").toStdString();
    run.options.minSeconds = 1.0;
    run.progress = false;
    run.options.tags.album = "tevo demo";
    run.options.tags.title = "passage";
    std::printf("Passages of the recording, one WAV file each:\n");
    bool ok = splitFile(run) == ExitOk;

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
