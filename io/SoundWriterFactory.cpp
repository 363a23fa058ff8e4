// The factory of SoundWriter: the one place where the stream interface of the
// graph meets the concrete file writers.
#include "SoundWriter.h"

#include "SoundReader.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <strings.h>

namespace {

struct WritableType {
    const char* extension;
    int type; ///< a SoundWriterSndfile::FileType, or -1 for MP3
};
const WritableType sWritable[] = {{".wav", SoundWriterSndfile::WAV},   {".wave", SoundWriterSndfile::WAV},
                                  {".flac", SoundWriterSndfile::FLAC}, {".ogg", SoundWriterSndfile::OGG},
                                  {".oga", SoundWriterSndfile::OGG},   {".opus", SoundWriterSndfile::OPUS},
                                  {".aif", SoundWriterSndfile::AIFF},  {".aiff", SoundWriterSndfile::AIFF},
                                  {".mp3", -1},                        {".raw", SoundWriterSndfile::RAW}};

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

const char* SoundWriter::writableExtensions()
{
    return ".wav, .wave, .flac, .ogg, .oga, .opus, .aif, .aiff, .mp3, .raw";
}

SoundWriter* SoundWriter::getFromFilename(const char* path, unsigned rate, unsigned bitrate,
                                          SoundTools::SoundFormat format)
{
    return getFromExtension(SoundReader::fileExtension(path), rate, 2, bitrate, format);
}

SoundWriter* SoundWriter::getFromExtension(const char* extension, unsigned rate, unsigned channels,
                                           unsigned bitrate, SoundTools::SoundFormat format)
{
    const WritableType* t = writableType(extension);
    if (t == nullptr)
        return nullptr;
    if (t->type < 0)
        return new SoundWriterMp3(rate, channels, bitrate);
    return new SoundWriterSndfile(rate, channels, format, static_cast<SoundWriterSndfile::FileType>(t->type));
}
