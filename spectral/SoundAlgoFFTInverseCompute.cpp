#include "SoundAlgoFFTInverseCompute.h"

#include <algorithm>
#include <cstring>
#include <string>

SoundAlgoFFTInverseCompute::SoundAlgoFFTInverseCompute(Mode m)
    : mode(m < Plain ? Plain : (m > Autocorrelation ? Autocorrelation : m))
{
}

SoundAlgoFFTInverseCompute::~SoundAlgoFFTInverseCompute()
{
    releaseTransform();
}

const char* SoundAlgoFFTInverseCompute::getName() const
{
    return "SoundAlgoFFTInverseCompute";
}

unsigned SoundAlgoFFTInverseCompute::getInFrameSize() const
{
    return size / 2 + 1;
}

unsigned SoundAlgoFFTInverseCompute::getInElementSize() const
{
    return 2;
}

unsigned SoundAlgoFFTInverseCompute::getHopOut() const
{
    return mode == Plain ? size : size / 2;
}

void SoundAlgoFFTInverseCompute::releaseTransform()
{
    SoundFFTPlanner::destroy(plan);
    planSize = 0;
    SoundFFTPlanner::freeArray(work);
    SoundFFTPlanner::freeArray(spectrumScratch);
}

SoundTools::Status SoundAlgoFFTInverseCompute::initInputBuffer()
{
    if (previous == nullptr) {
        setError("no node feeds the inverse transform", getName());
        return SoundTools::StatusError;
    }
    const std::shared_ptr<SoundBuffer> feed =
        previous->getOutPortNumber() > 0 ? previous->getOutPort(0) : std::shared_ptr<SoundBuffer>();
    const unsigned bins = feed ? feed->getFrameSize() : previous->getOutFrameSize();
    if (bins < 2) {
        setError(("spectra of " + std::to_string(bins) + " bins give a transform size below 2").c_str(), getName());
        return SoundTools::StatusError;
    }
    size = 2 * bins - 2;
    return SoundAlgoFFT::initInputBuffer();
}

SoundTools::Status SoundAlgoFFTInverseCompute::initOutputBuffer()
{
    const unsigned spectra = inBuffers.empty() || !inBuffers[0] ? 0 : inBuffers[0]->getFrameNBAllocated();
    const unsigned ov = getOutBufferOverlap(sampleRate);
    for (auto& buffer : outBuffers) {
        buffer = SoundBuffer::createNew(sampleRate);
        buffer->alloc(ov + getHopOut() * spectra, 2, 1, 1);
    }
    if (plan == nullptr || planSize != size) {
        releaseTransform();
        const unsigned bins = size / 2 + 1;
        work = SoundFFTPlanner::allocArray(std::size_t(size) * 2);
        spectrumScratch = SoundFFTPlanner::allocArray(std::size_t(bins) * 4);
        plan = SoundFFTPlanner::planInterleavedC2R(static_cast<int>(size), 2, spectrumScratch, work);
        if (plan == nullptr) {
            releaseTransform();
            setError("FFTW could not plan the transform", getName());
            return SoundTools::StatusError;
        }
        planSize = size;
    }
    // The overlap-add tail of a previous run must not leak into this one.
    std::fill(work, work + std::size_t(size) * 2, 0.0);
    outOrigin = 0;
    return SoundTools::StatusOk;
}

void SoundAlgoFFTInverseCompute::updateOutput()
{
    // The block's frames start where its first spectrum is numbered.
    outOrigin = getInOrigin();
    placeOutput(outOrigin, getHopOut() * getInFrameNb());
}

SoundTools::Status SoundAlgoFFTInverseCompute::process()
{
    if (inBuffers.empty() || outBuffers.empty() || plan == nullptr)
        return SoundTools::StatusError;
    SoundBuffer& in = *inBuffers[0];
    SoundBuffer& out = *outBuffers[0];
    const unsigned bins = size / 2 + 1;
    const unsigned half = size / 2;
    const unsigned hopOut = getHopOut();
    const unsigned n = std::min<unsigned>(getInFrameNb(), hopOut > 0 ? getOutFrameNb() / hopOut : 0);
    const double scale = 1.0 / size;
    const int inOrigin = getInOrigin();

    for (unsigned s = 0; s < n; ++s) {
        std::memcpy(spectrumScratch, in.getFrame(inOrigin + static_cast<int>(s)), sizeof(double) * 4 * bins);
        double* o = out.getFrame(outOrigin);
        switch (mode) {
        case Plain:
            SoundFFTPlanner::executeC2R(plan, spectrumScratch, work);
            for (unsigned j = 0; j < 2 * size; ++j)
                o[j] = work[j] * scale;
            break;
        case OverlapAdd:
            for (unsigned j = 0; j < 2 * half; ++j)
                o[j] = work[2 * half + j] * scale;
            SoundFFTPlanner::executeC2R(plan, spectrumScratch, work);
            for (unsigned j = 0; j < 2 * half; ++j)
                o[j] += work[j] * scale;
            break;
        case Autocorrelation:
            SoundFFTPlanner::executeC2R(plan, spectrumScratch, work);
            // Lag j sums size/2 - j products of a zero-padded half block;
            // the floor of 50 keeps the last lags from being blown up.
            for (unsigned j = 0; j < half; ++j) {
                const double norm = 1.0 / (double(size) * std::max<double>(double(half) - j, 50.0));
                o[2 * j] = work[2 * j] * norm;
                o[2 * j + 1] = work[2 * j + 1] * norm;
            }
            break;
        }
        outOrigin += static_cast<int32_t>(hopOut);
    }
    return SoundTools::StatusOk;
}

void SoundAlgoFFTInverseCompute::endProcess(int status, unsigned frames)
{
    releaseTransform();
    SoundAlgoFFT::endProcess(status, frames);
}
