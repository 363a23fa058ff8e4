#include "SoundAlgoBypass.h"

#include <cstring>

SoundAlgoBypass::SoundAlgoBypass()
    : SoundAlgoBypass(0, 0)
{
}

SoundAlgoBypass::SoundAlgoBypass(unsigned inOv, unsigned d)
    : SoundAlgoBypass(inOv, d, 0, 1)
{
}

SoundAlgoBypass::SoundAlgoBypass(unsigned inOv, unsigned d, unsigned outOv, unsigned ports, unsigned fSize,
                                 unsigned eSize)
    : inOverlap(inOv)
    , delay(d)
    , outOverlap(outOv)
    , portNumber(ports)
    , frameSize(fSize)
    , elementSize(eSize)
{
}

SoundAlgoBypass::~SoundAlgoBypass() = default;

const char* SoundAlgoBypass::getName() const
{
    return "SoundAlgoBypass";
}

unsigned SoundAlgoBypass::getInputNumber() const { return portNumber; }
unsigned SoundAlgoBypass::getOutputNumber() const { return portNumber; }
unsigned SoundAlgoBypass::getInFrameSize() const { return frameSize; }
unsigned SoundAlgoBypass::getOutFrameSize() const { return frameSize; }
unsigned SoundAlgoBypass::getInElementSize() const { return elementSize; }
unsigned SoundAlgoBypass::getOutElementSize() const { return elementSize; }
unsigned SoundAlgoBypass::getDelay(unsigned) const { return delay; }
unsigned SoundAlgoBypass::getInOverlap(unsigned) const { return inOverlap; }
unsigned SoundAlgoBypass::getOutOverlap(unsigned) const { return outOverlap; }
unsigned SoundAlgoBypass::getSampleShift(unsigned) const { return outOverlap; }
unsigned SoundAlgoBypass::getOutputLag(unsigned) const { return delay > lookAhead ? delay - lookAhead : 0; }
unsigned SoundAlgoBypass::getIntendedDelay(unsigned rate) const { return aligner ? 0 : getOutputLag(rate); }

SoundTools::Status SoundAlgoBypass::process()
{
    if (getOutputNumber() != getInputNumber())
        return SoundTools::StatusError;
    const unsigned n = getOutFrameNb();
    // The first outOverlap frames of the output are the previous block's
    // final frames, kept as margin: the copy starts behind them.
    if (n <= outOverlap)
        return SoundTools::StatusOk;
    const int inOrigin = getInOrigin() + static_cast<int>(lookAhead);
    const int outStart = getOutOrigin() + static_cast<int>(outOverlap);
    for (std::size_t port = 0; port < outBuffers.size() && port < inBuffers.size(); ++port) {
        const double* x = inBuffers[port]->getFrame(inOrigin);
        double* y = outBuffers[port]->getFrame(outStart);
        if (x == nullptr || y == nullptr) {
            setError("a buffer does not reach the block's first frame", getName());
            return SoundTools::StatusError;
        }
        std::memcpy(y, x, sizeof(double) * std::size_t(n - outOverlap) * outBuffers[port]->getFrameStride());
    }
    return SoundTools::StatusOk;
}
