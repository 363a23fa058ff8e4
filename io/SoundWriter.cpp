#include "SoundWriter.h"

#include "SoundReader.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>

SoundWriter::SoundWriter(unsigned rate)
    : sampleRate(rate)
{
}

SoundWriter::~SoundWriter() = default;

void SoundWriter::setTags(const SoundIDTag&)
{
}

bool SoundWriter::closeFailed() const
{
    return false;
}

unsigned SoundWriter::getChannelNum() const
{
    return 2;
}

bool SoundWriter::writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned margin)
{
    if (!buffer) {
        setError("SoundWriter::WriteBuffer : no buffer to write", nullptr);
        return true;
    }
    return writeFrames(*buffer, buffer->getOrigin(),
                       int64_t(buffer->getOrigin()) + buffer->getFrameNB() - margin, 0);
}

bool SoundWriter::writeFrames(SoundBuffer& buffer, int64_t first, int64_t end, unsigned shift)
{
    // From here on positions are those of the input timeline.
    int64_t start = first - shift;
    const int64_t stop = std::min<int64_t>(end - shift, rangeEnd);
    if (start > rangeEnd)
        return false;
    const int64_t rel = start - rangeStart;
    if (rel > written)
        std::fprintf(stderr, "SoundWriter::WriteBuffer : Warning, there is a gap in the output flow ! %d->%d\n",
                     static_cast<int>(rel), static_cast<int>(written));
    else
        start = int64_t(rangeStart) + written;
    if (start >= stop)
        return false;
    if (buffer.getSampleRate() != sampleRate) {
        setError("SoundWriter::WriteBuffer : Samplerate conversion not implemented", nullptr);
        return true;
    }
    if (buffer.getChannelNum() != getChannelNum()) {
        setError("SoundWriter::WriteBuffer : Incorrect number of channels", nullptr);
        return true;
    }
    const int64_t n = stop - start;
    double* data = buffer.getFrame(static_cast<int>(start + shift));
    if (data == nullptr) {
        setError("SoundWriter::WriteBuffer : the block does not hold the frames to write", nullptr);
        return true;
    }
    const unsigned w = write(static_cast<unsigned>(n), data);
    written += static_cast<int32_t>(w);
    return w != n;
}

bool SoundWriter::setFileChannels(unsigned channels)
{
    return channels == 0 || channels == getChannelNum();
}

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

const WritableType* writableType(const char* path)
{
    const char* extension = SoundReader::fileExtension(path);
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
    return writableType(path) != nullptr;
}

bool SoundWriter::isMp3Name(const char* path)
{
    const WritableType* t = writableType(path);
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
    const WritableType* t = writableType(path);
    if (t == nullptr || t->type < 0)
        return 0;
    std::unique_ptr<SoundWriter> writer(getFromFilename(path, 44100, 192, format));
    return writer ? writer->getFileBits() : 0;
}

SoundWriter* SoundWriter::getFromFilename(const char* path, unsigned rate, unsigned bitrate,
                                          SoundTools::SoundFormat format, int mp3Quality)
{
    const WritableType* t = writableType(path);
    if (t == nullptr)
        return nullptr;
    if (t->type < 0)
        return new SoundWriterMp3(rate, 2, bitrate, mp3Quality);
    return new SoundWriterSndfile(rate, 2, format, static_cast<SoundWriterSndfile::FileType>(t->type));
}
