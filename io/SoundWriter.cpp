#include "SoundWriter.h"

#include <cstdio>

SoundWriter::SoundWriter(unsigned rate)
    : sampleRate(rate)
{
}

SoundWriter::~SoundWriter() = default;

void SoundWriter::setTags(const SoundIDTag&)
{
}

unsigned SoundWriter::getChannelNum() const
{
    return 2;
}

bool SoundWriter::writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned margin)
{
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
