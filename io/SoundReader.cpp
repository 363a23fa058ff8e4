#include "SoundReader.h"

#include <cmath>
#include <iomanip>
#include <sstream>

SoundReader::~SoundReader() = default;

bool SoundReader::getTags(SoundIDTag&)
{
    return false;
}

int SoundReader::getStartOffset()
{
    return static_cast<int>(std::floor(double(getSampleRate()) * startPoint + 0.5));
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
    const unsigned kept = buffer->keepMargin(margin);
    buffer->setOrigin(offset - static_cast<int>(kept));
    const unsigned allocated = buffer->getFrameNBAllocated();
    // A margin that fills the whole buffer leaves no room: read nothing rather
    // than a wrapped count.
    const unsigned room = allocated > kept ? allocated - kept : 0;
    unsigned n = 0;
    if (room > 0)
        n = read(room, buffer->getRelFrame(static_cast<int>(kept)));
    offset += static_cast<int>(n);
    buffer->setFrameNB(kept + n);
    if (n < kept) {
        buffer->appendMargin(kept - n);
        offset += static_cast<int>(kept - n);
    }
    return n;
}
