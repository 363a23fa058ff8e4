#include "SoundFFTAutocorrel.h"

SoundFFTAutocorrel::SoundFFTAutocorrel() = default;

SoundFFTAutocorrel::~SoundFFTAutocorrel() = default;

const char* SoundFFTAutocorrel::getName() const
{
    return "SoundFFTAutocorrel";
}

unsigned SoundFFTAutocorrel::getInFrameSize() const
{
    return bins;
}

unsigned SoundFFTAutocorrel::getOutFrameSize() const
{
    return bins;
}

unsigned SoundFFTAutocorrel::getInElementSize() const
{
    return 2;
}

unsigned SoundFFTAutocorrel::getOutElementSize() const
{
    return 2;
}

SoundTools::Status SoundFFTAutocorrel::initInputBuffer()
{
    if (previous == nullptr) {
        setError("no node feeds the autocorrelation", getName());
        return SoundTools::StatusError;
    }
    const std::shared_ptr<SoundBuffer> feed = previous->getOutPortNumber() > 0 ? previous->getOutPort(0) : std::shared_ptr<SoundBuffer>();
    bins = feed ? feed->getFrameSize() : previous->getOutFrameSize();
    return SoundAlgoFFT::initInputBuffer();
}

void SoundFFTAutocorrel::updateOutput()
{
    outOrigin = getInOrigin();
    placeOutput(outOrigin, getInFrameNb());
}

SoundTools::Status SoundFFTAutocorrel::process()
{
    if (inBuffers.empty() || outBuffers.empty())
        return SoundTools::StatusError;
    SoundBuffer& in = *inBuffers[0];
    SoundBuffer& out = *outBuffers[0];
    const unsigned n = getOutFrameNb();
    const unsigned values = bins * in.getChannelNum();
    const int inOrigin = getInOrigin();
    for (unsigned s = 0; s < n; ++s) {
        const double* src = in.getFrame(inOrigin + static_cast<int>(s));
        double* dst = out.getFrame(outOrigin + static_cast<int>(s));
        for (unsigned v = 0; v < values; ++v) {
            const double re = src[2 * v];
            const double im = src[2 * v + 1];
            dst[2 * v] = re * re + im * im;
            dst[2 * v + 1] = 0.0;
        }
    }
    return SoundTools::StatusOk;
}

void SoundFFTAutocorrel::endProcess(int status, unsigned frames)
{
    bins = 0;
    SoundAlgoFFT::endProcess(status, frames);
}
