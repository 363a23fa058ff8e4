#include "SoundReader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>

SoundReader::~SoundReader() = default;

bool SoundReader::getTags(SoundIDTag&)
{
    return false;
}

bool SoundReader::readFailed() const
{
    return false;
}

int SoundReader::getStartOffset()
{
    // Computed in 64 bits and clamped: a start point of hours must not wrap
    // to a negative or small frame index.
    const double frames = std::floor(double(getSampleRate()) * startPoint + 0.5);
    if (!(frames > 0))
        return 0;
    return frames >= 2147483647.0 ? 2147483647 : static_cast<int>(frames);
}

double SoundReader::getLength()
{
    const unsigned rate = getSampleRate();
    return rate == 0 ? 0.0 : double(getFrameNB()) / double(rate);
}

std::string SoundReader::getLengthString()
{
    return formatLength(getLength());
}

std::string SoundReader::formatLength(double s)
{
    if (!std::isfinite(s) || s < 0)
        s = 0;
    const double h = std::floor(s / 3600);
    s -= h * 3600;
    const double m = std::floor(s / 60);
    s -= m * 60;
    std::ostringstream text;
    text << std::setfill('0') << std::fixed << std::setw(2) << std::setprecision(0) << h << ':' << std::setw(2)
         << std::setprecision(0) << m << ':' << std::setw(6) << std::setprecision(3) << s;
    return text.str();
}

unsigned SoundReader::stereoRead(std::shared_ptr<SoundBuffer> buffer, unsigned margin)
{
    // read() writes two doubles per frame at the buffer's stride: anything
    // but a stereo buffer of plain samples would be overrun.
    if (!buffer || !buffer->isStereo()) {
        setError("stereoRead needs a stereo buffer of one value per channel", "SoundReader");
        return 0;
    }
    const unsigned held = buffer->getFrameNB();
    unsigned kept;
    if (held > 0 && held <= margin) {
        // The node consumed nothing of the last block (an input shorter than
        // its history): every frame is still needed, whereas keepMargin would
        // drop the first one.
        kept = held;
    } else {
        kept = buffer->keepMargin(margin);
    }
    buffer->setOrigin(offset - static_cast<int>(kept));
    if (buffer->getFrameNBAllocated() <= kept) {
        // A leading silence as long as the whole buffer (only possible when
        // the caller did not size the block for it): make room for a block
        // behind it rather than report the end of the input at once. The kept
        // frames are silence here, so a fresh zeroed array loses nothing.
        buffer->setFrameNB(kept);
        buffer->appendMargin(SoundBuffer::getDefaultSize());
    }
    const unsigned room = buffer->getFrameNBAllocated() - kept;
    const unsigned n = read(room, buffer->getRelFrame(static_cast<int>(kept)));
    offset += static_cast<int>(n);
    buffer->setFrameNB(kept + n);
    // At the end of the input (the reader could not fill the room), pad with
    // silence so that the node sees its whole history followed by `margin`
    // frames of look-ahead: with a full margin kept this is the usual
    // kept - n, and it also covers a first block that held less than the
    // margin. A full read is never padded, even when it is shorter than a
    // long leading silence: that would insert zeros into the stream.
    const unsigned want = std::max(kept, margin);
    if (n < room && n < want) {
        buffer->appendMargin(want - n);
        offset += static_cast<int>(want - n);
    }
    return n;
}

const char* SoundReader::fileExtension(const char* path)
{
    if (path == nullptr)
        return nullptr;
    // The extension belongs to the file name, never to a folder of the path.
    const char* name = std::strrchr(path, '/');
    name = name != nullptr ? name + 1 : path;
    const char* point = std::strrchr(name, '.');
    // A leading point alone (".hidden") starts a name, it ends no extension.
    return point != nullptr && point != name ? point : nullptr;
}
