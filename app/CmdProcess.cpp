#include "AppCommon.h"
#include "CommandRegistry.h"
#include "ProcessChain.h"
#include "TagOptions.h"

#include "SoundAlgoScale.h"
#include "SoundBuffer.h"

#include <QCommandLineParser>

using namespace AppCommon;

namespace {

int runProcess(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Processes IN into OUT in one run. The container follows OUT's extension (.wav, .wave, .flac, .ogg, .oga, "
        ".opus, .aif, .aiff, .mp3, .raw); the output keeps the input's channels and sample format unless "
        "--channels or --format say otherwise. Stages (--gain and the filter options) apply in the order given.");
    parser.addPositionalArgument("IN", "Input file, or - for standard input.");
    parser.addPositionalArgument("OUT", "Output file, or - for standard output.");
    addOutputOptions(parser);
    parser.addOption({"bitrate", "MP3 bit rate in kbit/s.", "KBPS", "192"});
    TagOptions::addOptions(parser, TagOptions::Target::File);
    ProcessChain::addOptions(parser);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 2, "IN and OUT", exitCode))
        return exitCode;

    OutputOptions output;
    QString error;
    if (!parseOutputOptions(parser, output, error)) {
        printError(error);
        return ExitUsage;
    }
    double bitrate = 0;
    if (!toNumber(parser.value("bitrate"), bitrate) || bitrate < 8 || bitrate > 320) {
        printError(QString("--bitrate needs a number of kbit/s from 8 to 320, not '%1'").arg(parser.value("bitrate")));
        return ExitUsage;
    }
    ProcessChain chain;
    if (!chain.build(parser, args, error)) {
        printError(error);
        return ExitUsage;
    }

    const QString in = parser.positionalArguments().at(0);
    const QString out = parser.positionalArguments().at(1);
    OutputFile target;
    exitCode = target.prepare(out, {in});
    if (exitCode != ExitOk)
        return exitCode;
    auto reader = openReader(in, output.start);
    if (!reader)
        return ExitFailure;
    if (const int refused = checkStartAndRange(*reader, output))
        return refused;
    const unsigned rate = reader->getSampleRate();
    followInput(output, *reader);
    const QString writePath = target.writePath();
    if (writePath.isEmpty())
        return ExitFailure;
    auto writer = openWriter(writePath, rate, output, reader->getInputFormat(), static_cast<unsigned>(bitrate));
    if (!writer)
        return target.finish(ExitFailure);

    const SoundIDTag tags = TagOptions::carry(*reader, TagOptions::parse(parser));
    if (TagOptions::any(tags))
        writer->setTags(tags);
    applyRange(*writer, output, *reader);

    // No result depends on the block size. A plain copy or format change runs
    // fastest with blocks whose integers and doubles stay in cache (16k
    // frames); a chain takes 64k frames, which keep the buffers of every
    // stage small (the loop raises the size for filters that need more).
    SoundBuffer::setDefaultSize(chain.empty() ? 1u << 14 : 1u << 16);
    NodePtr node = chain.takeGraph();
    exitCode = runWithProgress(*node, *reader, writer.get(), "process");
    writer.reset();
    return target.finish(exitCode);
}

const bool registered = CommandRegistry::add({"process", "Process a file into another (gain, filters, format).", runProcess});

const bool gainOption = CommandRegistry::addChainOption(
    {"gain", "DB", "Scale by DB decibels.", [](const QString& value, QString& error) -> SoundAlgo* {
         double db = 0;
         if (!toNumber(value, db)) {
             error = QString("--gain needs a number of decibels, not '%1'").arg(value);
             return nullptr;
         }
         return new SoundAlgoScale(db);
     }});

} // namespace
