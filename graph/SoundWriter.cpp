#include "SoundWriter.h"

#include <algorithm>
#include <cstdio>

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
