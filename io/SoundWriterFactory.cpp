// The factory of SoundWriter: the one place where the stream interface of the
// graph meets the concrete file writers.
#include "SoundWriter.h"

#include "SoundReader.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <memory>
#include <strings.h>

namespace {

struct WritableType {
    const char* extension;
    int type; ///< a SoundWriterSndfile::FileType, or -1 for MP3
};
const WritableType sWritable[] = {{".wav", SoundWriterSndfile::WAV}, {".wave", SoundWriterSndfile::WAV}, {".flac", SoundWriterSndfile::FLAC}, {".ogg", SoundWriterSndfile::OGG}, {".oga", SoundWriterSndfile::OGG}, {".opus", SoundWriterSndfile::OPUS}, {".aif", SoundWriterSndfile::AIFF}, {".aiff", SoundWriterSndfile::AIFF}, {".mp3", -1}, {".raw", SoundWriterSndfile::RAW}};

const WritableType* writableType(const char* extension)
{
    if (extension == nullptr)
        return nullptr;
    for (const WritableType& t : sWritable)
        if (strcasecmp(extension, t.extension) == 0)
            return &t;
    return nullptr;
}

} // namespace

bool SoundWriter::isWritableName(const char* path)
{
    return writableType(SoundReader::fileExtension(path)) != nullptr;
}

bool SoundWriter::isMp3Name(const char* path)
{
    const WritableType* t = writableType(SoundReader::fileExtension(path));
    return t != nullptr && t->type < 0;
}

const char* SoundWriter::writableExtensions()
{
    return ".wav, .wave, .flac, .ogg, .oga, .opus, .aif, .aiff, .mp3, .raw";
}

unsigned SoundWriter::fileBitsFor(const char* path, SoundTools::SoundFormat format)
{
    // MP3 has no integer samples (and its writer would load the encoder); a
    // closed file writer holds its file format from construction on, so
    // asking it keeps one mapping of formats to file bits.
    const WritableType* t = writableType(SoundReader::fileExtension(path));
    if (t == nullptr || t->type < 0)
        return 0;
    std::unique_ptr<SoundWriter> writer(getFromFilename(path, 44100, 192, format));
    return writer ? writer->getFileBits() : 0;
}

double SoundWriter::gainDbFor(const char* path)
{
    const WritableType* t = writableType(SoundReader::fileExtension(path));
    return t != nullptr && t->type < 0 ? SoundTools::linearToDb(SoundWriterMp3::sLevelGain) : 0.0;
}

SoundWriter* SoundWriter::getFromFilename(const char* path, unsigned rate, unsigned bitrate,
                                          SoundTools::SoundFormat format, int mp3Quality)
{
    return getFromExtension(SoundReader::fileExtension(path), rate, 2, bitrate, format, mp3Quality);
}

SoundWriter* SoundWriter::getFromExtension(const char* extension, unsigned rate, unsigned channels,
                                           unsigned bitrate, SoundTools::SoundFormat format, int mp3Quality)
{
    const WritableType* t = writableType(extension);
    if (t == nullptr)
        return nullptr;
    if (t->type < 0)
        return new SoundWriterMp3(rate, channels, bitrate, mp3Quality);
    return new SoundWriterSndfile(rate, channels, format, static_cast<SoundWriterSndfile::FileType>(t->type));
}
