#include "JobOutput.h"

#include "Job.h"
#include "SoundReader.h"
#include "SoundReaderSndfile.h"
#include "SoundWriter.h"

#include <QRegExp>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
QString q(const std::string& text)
{
    return QString::fromStdString(text);
}
} // namespace

bool JobOutput::setFormat(const std::string& name, std::string& error)
{
    static const struct {
        const char* name;
        SoundTools::SoundFormat format;
    } formats[] = {{"pcm8", SoundTools::PCM8}, {"pcm16", SoundTools::PCM16}, {"pcm24", SoundTools::PCM24}, {"pcm32", SoundTools::PCM32}, {"float32", SoundTools::Float32}, {"float64", SoundTools::Float64}};
    const QString lower = q(name).toLower();
    for (const auto& f : formats)
        if (lower == f.name) {
            format = f.format;
            formatSet = true;
            return true;
        }
    error = QString("unknown format '%1' (pcm8, pcm16, pcm24, pcm32, float32, float64)").arg(lower).toStdString();
    return false;
}

bool JobOutput::setChannels(const std::string& text, std::string& error)
{
    if (text != "1" && text != "2") {
        error = QString("--channels needs 1 or 2, not '%1'").arg(q(text)).toStdString();
        return false;
    }
    channels = text == "1" ? 1 : 2;
    return true;
}

bool JobOutput::setStart(const std::string& text, std::string& error)
{
    if (!Job::parseTime(text, startSeconds) || startSeconds < 0) {
        error = QString("--start needs a time >= 0 (seconds or [[hh:]mm:]ss[.mmm]), not '%1'")
                    .arg(q(text))
                    .toStdString();
        return false;
    }
    return true;
}

bool JobOutput::setRange(const std::string& text, std::string& error)
{
    const QStringList parts = q(text).split(QRegExp("[, ]"), Qt::SkipEmptyParts);
    if (parts.size() != 2 || !Job::parseTime(parts[0].toStdString(), rangeFromSeconds)
        || !Job::parseTime(parts[1].toStdString(), rangeToSeconds) || rangeFromSeconds < 0
        || rangeToSeconds <= rangeFromSeconds) {
        error = QString("--range needs FROM,TO (seconds or [[hh:]mm:]ss[.mmm]) with 0 <= FROM < TO, not '%1'")
                    .arg(q(text))
                    .toStdString();
        return false;
    }
    hasRange = true;
    return true;
}

bool JobOutput::setBitrate(const std::string& text, std::string& error)
{
    double kbps = 0;
    if (!Job::parseNumber(text, kbps) || kbps < 8 || kbps > 320) {
        error = QString("--bitrate needs a number of kbit/s from 8 to 320, not '%1'").arg(q(text)).toStdString();
        return false;
    }
    bitrateKbps = static_cast<unsigned>(kbps);
    return true;
}

bool JobOutput::setQuality(const std::string& text, std::string& error)
{
    double quality = -1;
    if (!Job::parseNumber(text, quality) || quality < 0 || quality > 9 || quality != std::floor(quality)) {
        error = QString("--quality needs a whole number from 0 (best) to 9 (fastest), not '%1'").arg(q(text)).toStdString();
        return false;
    }
    mp3Quality = static_cast<int>(quality);
    return true;
}

std::string JobOutput::checkFor(const std::string& name) const
{
    if (mp3Quality >= 0 && !SoundWriter::isMp3Name(name.c_str()))
        return QString("%1 : --quality applies to MP3 output only").arg(q(name)).toStdString();
    return std::string();
}

std::string JobOutput::followInput(SoundReader& reader)
{
    if (!formatSet)
        format = reader.getInputFormat();
    const unsigned fileChannels = reader.getFileChannels();
    if (channels == 0)
        channels = fileChannels == 1 ? 1 : 2;
    if (fileChannels <= 2)
        return std::string();
    return QString("the input has %1 channels: only channels 1 and 2 are read, channel%2 %3 dropped")
        .arg(fileChannels)
        .arg(fileChannels > 3 ? "s" : "")
        .arg(fileChannels > 3 ? QString("3 to %1 are").arg(fileChannels) : QString("3 is"))
        .toStdString();
}

std::string JobOutput::checkStartAndRange(SoundReader& reader) const
{
    const double rate = reader.getSampleRate();
    if (rate <= 0)
        return std::string();
    // A stream that does not announce its length is read to its end.
    if (auto* sndfile = dynamic_cast<SoundReaderSndfile*>(&reader))
        if (sndfile->lengthUnknown())
            return std::string();
    const int64_t frames = reader.getFrameNB();
    const double length = double(frames) / rate;
    // In 64 bits: a start point of hours is billions of frames.
    const int64_t start = static_cast<int64_t>(std::floor(startSeconds * rate + 0.5));
    if (startSeconds > 0 && start >= frames)
        return "the start point " + Job::clockText(startSeconds) + " is past the end of the file ("
            + Job::clockText(length) + ")";
    if (hasRange) {
        const int64_t from = std::max<int64_t>(start, static_cast<int64_t>(std::floor(rangeFromSeconds * rate + 0.5)));
        if (from >= frames)
            return "the range " + Job::clockText(rangeFromSeconds) + "-" + Job::clockText(rangeToSeconds)
                + " is past the end of the file (" + Job::clockText(length) + ")";
    }
    return std::string();
}

void JobOutput::applyRange(SoundWriter& writer, SoundReader& reader) const
{
    const unsigned rate = reader.getSampleRate();
    int from = reader.getOffset();
    int to = std::numeric_limits<int>::max();
    if (hasRange) {
        from = std::max(from, SoundTools::secondsToFrames(rangeFromSeconds, rate));
        to = SoundTools::secondsToFrames(rangeToSeconds, rate);
    }
    writer.setRange(from, std::max(from, to));
}

std::unique_ptr<SoundWriter> JobOutput::openWriter(const std::string& path, unsigned sampleRate,
                                                   SoundTools::SoundFormat sourceFormat, std::string& error) const
{
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(path.c_str(), sampleRate, bitrateKbps, format, mp3Quality));
    if (!writer) {
        error = QString("%1 : unknown output type; the name must end in %2")
                    .arg(q(path), SoundWriter::writableExtensions())
                    .toStdString();
        return nullptr;
    }
    if (channels != 0 && !writer->setFileChannels(channels)) {
        error = QString("%1 : this output cannot have %2 channel(s)").arg(q(path)).arg(channels).toStdString();
        return nullptr;
    }
    const unsigned bits = writer->getFileBits();
    writer->setDither(dither && bits != 0 && bits < formatBits(sourceFormat));
    if (writer->open(path.c_str()) != SoundTools::StatusOk) {
        error = writer->getError();
        return nullptr;
    }
    return writer;
}

unsigned JobOutput::formatBits(SoundTools::SoundFormat format)
{
    switch (format) {
    case SoundTools::PCM8: return 8;
    case SoundTools::PCM16: return 16;
    case SoundTools::PCM24: return 24;
    case SoundTools::PCM32:
    case SoundTools::Float32: return 32;
    case SoundTools::Float64: return 64;
    }
    return 16;
}
