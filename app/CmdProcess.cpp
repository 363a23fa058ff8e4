#include "AppCommon.h"
#include "CommandRegistry.h"
#include "ProcessChain.h"

#include "SoundAlgoScale.h"
#include "SoundBuffer.h"

#include <QCommandLineParser>

using namespace AppCommon;

namespace {

void addTagOptions(QCommandLineParser& parser)
{
    parser.addOption({"title", "Title tag of the output.", "TEXT"});
    parser.addOption({"artist", "Artist tag of the output.", "TEXT"});
    parser.addOption({"album", "Album tag of the output.", "TEXT"});
    parser.addOption({"year", "Year tag of the output.", "TEXT"});
    parser.addOption({"comment", "Comment tag of the output.", "TEXT"});
    parser.addOption({"track", "Track number tag of the output (MP3).", "N"});
    parser.addOption({"genre", "Genre tag of the output (MP3).", "NAME"});
}

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
    addTagOptions(parser);
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
    const unsigned rate = reader->getSampleRate();
    followInput(output, *reader);
    const QString writePath = target.writePath();
    if (writePath.isEmpty())
        return ExitFailure;
    auto writer = openWriter(writePath, rate, output, reader->getInputFormat(), static_cast<unsigned>(bitrate));
    if (!writer)
        return target.finish(ExitFailure);

    // Keep the input's tags unless the command line gives its own.
    SoundIDTag tags;
    const bool inputTags = reader->getTags(tags);
    bool anyOption = false;
    for (const auto& field : {std::make_pair("title", &tags.title), std::make_pair("artist", &tags.artist),
                              std::make_pair("album", &tags.album), std::make_pair("year", &tags.year),
                              std::make_pair("comment", &tags.comment), std::make_pair("track", &tags.track),
                              std::make_pair("genre", &tags.genre)}) {
        if (parser.isSet(field.first)) {
            *field.second = parser.value(field.first).toStdString();
            anyOption = true;
        }
    }
    if (inputTags || anyOption)
        writer->setTags(tags);
    applyRange(*writer, output, *reader);

    // A plain copy or format change does not depend on the block size: blocks
    // that stay in cache make it run at the speed of the disk.
    if (chain.empty())
        SoundBuffer::setDefaultSize(1u << 16);
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
