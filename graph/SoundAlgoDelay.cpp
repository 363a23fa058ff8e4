#include "SoundAlgoDelay.h"

#include <cmath>
#include <cstring>

SoundAlgoDelay::SoundAlgoDelay(double s, bool overlap)
    : seconds(s)
    , asOverlap(overlap)
{
}

SoundAlgoDelay::~SoundAlgoDelay() = default;

const char* SoundAlgoDelay::getName() const
{
    return "SoundAlgoDelay";
}

unsigned SoundAlgoDelay::getFrames(unsigned rate) const
{
    const double frames = std::floor(double(rate) * seconds + 0.5);
    if (!(frames > 0.0))
        return 0;
    // Positions are signed 32-bit; a delay beyond a quarter of that range
    // would overflow the origin arithmetic of the buffers.
    return frames < double(1u << 29) ? static_cast<unsigned>(frames) : (1u << 29);
}

unsigned SoundAlgoDelay::getDelay(unsigned rate) const
{
    return asOverlap ? 0 : getFrames(rate);
}

unsigned SoundAlgoDelay::getOutOverlap(unsigned rate) const
{
    return asOverlap ? getFrames(rate) : 0;
}

unsigned SoundAlgoDelay::getSampleShift(unsigned rate) const
{
    return asOverlap ? getFrames(rate) : 0;
}

SoundTools::Status SoundAlgoDelay::process()
{
    const unsigned n = getOutFrameNb();
    const unsigned skip = asOverlap ? getFrames(sampleRate) : 0;
    if (n <= skip)
        return SoundTools::StatusOk;
    const double* x = inBuffers[0]->getFrame(getInOrigin());
    double* y = outBuffers[0]->getFrame(getOutOrigin() + static_cast<int>(skip));
    if (x == nullptr || y == nullptr) {
        setError("a buffer does not reach the block's first frame", getName());
        return SoundTools::StatusError;
    }
    std::memcpy(y, x, sizeof(double) * 2 * std::size_t(n - skip));
    return SoundTools::StatusOk;
}
