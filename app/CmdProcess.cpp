#include "AppCommon.h"
#include "BatchRun.h"
#include "CommandRegistry.h"
#include "ProcessChain.h"
#include "TagOptions.h"

#include "ProcessJob.h"
#include "SoundWriterMp3.h"

#include <QCommandLineParser>

using namespace AppCommon;

namespace {

int runProcess(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString("Processes IN into OUT in one run. The container follows OUT's extension (.wav, .wave, .flac, .ogg, .oga, "
                ".opus, .aif, .aiff, .mp3, .raw); the output keeps the input's channels and sample format unless "
                "--channels or --format say otherwise; MP3 is encoded %1 dB below the stream's level, headroom for the "
                "encoder. Stages (--gain and the filter options) apply in the order given.\n"
                "Batch: tevo process IN... -o DIR [-j N] [--skip-existing] [--json] writes each input to DIR/NAME.EXT "
                "(EXT --type's or the input's), N files at once, one line per file as it finishes.")
            .arg(-SoundTools::linearToDb(SoundWriterMp3::sLevelGain), 0, 'f', 2));
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addPositionalArgument("OUT", "Output file, or - for standard output.");
    addOutputOptions(parser);
    parser.addOption({"bitrate", "MP3 bit rate in kbit/s.", "KBPS"});
    parser.addOption({"quality",
                      QString("MP3 encoder quality, 0 (best, slowest) to 9 (fastest); %1 when not given.")
                          .arg(SoundWriterMp3::sDefaultQuality),
                      "N"});
    TagOptions::addOptions(parser, TagOptions::Target::File);
    ProcessChain::addOptions(parser);
    BatchRun::addOptions(parser, BatchRun::Output::File);
    addJsonOption(parser);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 2, "IN and OUT", exitCode, true))
        return exitCode;

    ProcessJob::Options options;
    QString error;
    if (!parseOutputOptions(parser, options.out, error)) {
        printError(error);
        return ExitUsage;
    }
    std::string refused;
    if (parser.isSet("bitrate") && !options.out.setBitrate(parser.value("bitrate").toStdString(), refused)) {
        printError(QString::fromStdString(refused));
        return ExitUsage;
    }
    if (parser.isSet("quality") && !options.out.setQuality(parser.value("quality").toStdString(), refused)) {
        printError(QString::fromStdString(refused));
        return ExitUsage;
    }
    options.stages = ProcessChain::stages(args);
    refused = options.check();
    if (!refused.empty()) {
        printError(QString::fromStdString(refused));
        return ExitUsage;
    }
    options.tags = TagOptions::parse(parser);
    if (BatchRun::wanted(parser, BatchRun::Output::File)) {
        const auto make = [&options](const QString& input, const QString& writePath) {
            ProcessJob::Options one = options;
            one.input = input.toStdString();
            one.output = writePath.toStdString();
            return std::make_unique<BatchRun::JobWork<ProcessJob>>(one, nullptr);
        };
        const auto check = [&options](const QString& output) { return options.out.checkFor(output.toStdString()); };
        return BatchRun(parser, BatchRun::Output::File).run(make, check);
    }
    if (parser.isSet("json")) {
        printError("--json goes with a batch (-o DIR): a single file prints no results");
        return ExitUsage;
    }

    const QString in = parser.positionalArguments().at(0);
    const QString out = parser.positionalArguments().at(1);
    OutputFile target;
    exitCode = target.prepare(out, {in});
    if (exitCode != ExitOk)
        return exitCode;
    auto reader = openReader(in, options.out.startSeconds);
    if (!reader)
        return ExitFailure;
    const QString writePath = target.writePath();
    if (writePath.isEmpty())
        return ExitFailure;
    refused = options.out.checkFor((out == "-" ? writePath : out).toStdString());
    if (!refused.empty()) {
        printError(QString::fromStdString(refused));
        return target.finish(ExitUsage);
    }
    options.input = in.toStdString();
    options.output = writePath.toStdString();
    ProcessJob job(options);
    job.setInput(std::move(reader));
    return target.finish(runJob(job));
}

const bool registered = CommandRegistry::add({"process", "Process a file into another (gain, filters, format).", runProcess});

const bool gainOption = CommandRegistry::addChainOption({"gain", "DB", "Scale by DB decibels."});

} // namespace
