#include "SoundWriter.h"

#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <cstdio>
#include <cstring>
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
    int64_t start = buffer->getOrigin();
    if (start > rangeEnd)
        return false;
    const int64_t rel = start - rangeStart;
    if (rel > written)
        std::fprintf(stderr, "SoundWriter::WriteBuffer : Warning, there is a gap in the output flow ! %d->%d\n",
                     static_cast<int>(rel), static_cast<int>(written));
    else
        start = int64_t(rangeStart) + written;
    if (start > rangeEnd)
        return false;
    if (buffer->getSampleRate() != sampleRate) {
        setError("SoundWriter::WriteBuffer : Samplerate conversion not implemented", nullptr);
        return true;
    }
    if (buffer->getChannelNum() != getChannelNum()) {
        setError("SoundWriter::WriteBuffer : Incorrect number of channels", nullptr);
        return true;
    }
    int64_t n = int64_t(buffer->getOrigin()) + buffer->getFrameNB() - start - margin;
    if (start + n > rangeEnd)
        n = int64_t(rangeEnd) - start;
    if (n < 1)
        return false;
    const unsigned w = write(static_cast<unsigned>(n), buffer->getFrame(static_cast<int>(start)));
    written += static_cast<int32_t>(w);
    return w != n;
}

SoundWriter* SoundWriter::getFromFilename(const char* path, unsigned rate, unsigned bitrate,
                                          SoundTools::SoundFormat format)
{
    if (path == nullptr)
        return nullptr;
    const char* extension = std::strrchr(path, '.');
    if (extension == nullptr)
        return nullptr;
    if (strcasecmp(extension, ".mp3") == 0)
        return new SoundWriterMp3(rate, 2, bitrate);
    SoundWriterSndfile::FileType type = SoundWriterSndfile::RAW;
    if (strcasecmp(extension, ".wav") == 0)
        type = SoundWriterSndfile::WAV;
    else if (strcasecmp(extension, ".flac") == 0)
        type = SoundWriterSndfile::FLAC;
    else if (strcasecmp(extension, ".ogg") == 0)
        type = SoundWriterSndfile::OGG;
    return new SoundWriterSndfile(rate, 2, format, type);
}
