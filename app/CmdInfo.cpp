#include "AppCommon.h"
#include "CommandRegistry.h"
#include "SoundReaderSndfile.h"
#include "TagOptions.h"

#include <QCommandLineParser>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

using namespace AppCommon;

namespace {

const char* formatName(SoundTools::SoundFormat format)
{
    switch (format) {
    case SoundTools::PCM8: return "pcm8 (8-bit integer)";
    case SoundTools::PCM16: return "pcm16 (16-bit integer)";
    case SoundTools::PCM24: return "pcm24 (24-bit integer)";
    case SoundTools::PCM32: return "pcm32 (32-bit integer)";
    case SoundTools::Float32: return "float32 (32-bit float)";
    case SoundTools::Float64: return "float64 (64-bit float)";
    }
    return "unknown";
}

int runInfo(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Shows the properties and tags of an audio file.");
    parser.addPositionalArgument("FILE", "Audio file, or - for standard input.");
    addJsonOption(parser);
    int exitCode = ExitOk;
    if (!parseCommandLine(parser, args, 1, "one FILE", exitCode))
        return exitCode;
    const QString path = parser.positionalArguments().at(0);
    auto reader = openReader(path);
    if (!reader)
        return ExitFailure;
    SoundIDTag tags;
    reader->getTags(tags);
    // A FLAC written to a pipe does not announce its length; it is read to its end.
    const auto* sndfile = dynamic_cast<const SoundReaderSndfile*>(reader.get());
    const bool lengthUnknown = sndfile != nullptr && sndfile->lengthUnknown();
    if (parser.isSet("json")) {
        QJsonObject info;
        info["file"] = path;
        info["sampleRate"] = static_cast<int>(reader->getSampleRate());
        info["channels"] = static_cast<int>(reader->getFileChannels());
        info["droppedChannels"] = static_cast<int>(std::max(2u, reader->getFileChannels()) - 2);
        info["frames"] = static_cast<double>(reader->getFrameNB());
        info["lengthKnown"] = !lengthUnknown;
        info["lengthSeconds"] = reader->getLength();
        info["length"] = QString::fromStdString(reader->getLengthString());
        info["sampleFormat"] = QString(formatName(reader->getInputFormat())).section(' ', 0, 0);
        info["tags"] = TagOverrides::toJson(tags);
        printJson(info);
        return ExitOk;
    }
    std::printf("File:          %s\n", qPrintable(path));
    std::printf("Sample rate:   %u Hz\n", reader->getSampleRate());
    const unsigned channels = reader->getFileChannels();
    std::printf("Channels:      %u%s\n", channels, channels > 2 ? " (read as stereo)" : "");
    if (lengthUnknown) {
        std::printf("Frames:        unknown (the file does not announce its length)\n");
        std::printf("Length:        unknown\n");
    } else {
        std::printf("Frames:        %u\n", reader->getFrameNB());
        std::printf("Length:        %s\n", reader->getLengthString().c_str());
    }
    std::printf("Sample format: %s\n", formatName(reader->getInputFormat()));
    for (const TagOverrides::Field& field : TagOverrides::fields())
        if (!(tags.*field.member).empty())
            std::printf("%-14s %s\n", (std::string(field.label) + ":").c_str(), (tags.*field.member).c_str());
    return ExitOk;
}

const bool registered = CommandRegistry::add({"info", "Show sample rate, length, format and tags of a file.", runInfo});

} // namespace
