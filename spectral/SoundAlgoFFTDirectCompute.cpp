#include "SoundAlgoFFTDirectCompute.h"

#include <algorithm>
#include <cstring>
#include <string>

SoundAlgoFFTDirectCompute::SoundAlgoFFTDirectCompute(unsigned s, bool padded)
    : size(s & ~1u)
    , zeroPadded(padded)
{
}

SoundAlgoFFTDirectCompute::~SoundAlgoFFTDirectCompute()
{
    releaseTransform();
}

const char* SoundAlgoFFTDirectCompute::getName() const
{
    return "SoundAlgoFFTDirectCompute";
}

unsigned SoundAlgoFFTDirectCompute::getOutFrameSize() const
{
    return size / 2 + 1;
}

unsigned SoundAlgoFFTDirectCompute::getOutElementSize() const
{
    return 2;
}

unsigned SoundAlgoFFTDirectCompute::getHopFor(unsigned rate) const
{
    if (!zeroPadded)
        return size;
    const unsigned half = size / 2;
    const unsigned ruled = hopRule ? hopRule(rate) : half;
    return ruled >= half && ruled <= size ? ruled : half;
}

unsigned SoundAlgoFFTDirectCompute::getInOverlap(unsigned rate) const
{
    const unsigned hop = getHopFor(rate);
    return hop > 0 ? hop - 1 : 0;
}

unsigned SoundAlgoFFTDirectCompute::getSampleShift(unsigned rate) const
{
    // Only silence added by the loop after the stream reaches this node
    // wherever it sits in a graph; it also lets the last block carry the
    // convolution tail of a filter of up to hop taps.
    return getInOverlap(rate);
}

void SoundAlgoFFTDirectCompute::releaseTransform()
{
    SoundFFTPlanner::destroy(plan);
    planSize = 0;
    SoundFFTPlanner::freeArray(timeScratch);
    SoundFFTPlanner::freeArray(spectrumScratch);
}

SoundTools::Status SoundAlgoFFTDirectCompute::initOutputBuffer()
{
    if (size < 2) {
        // A hop of 0 would never advance through the stream.
        setError(("transform size " + std::to_string(size) + " is below 2").c_str(), getName());
        return SoundTools::StatusError;
    }
    runHop = getHopFor(sampleRate);
    const unsigned hop = runHop;
    const unsigned bins = size / 2 + 1;
    const unsigned inAllocated = inBuffers.empty() || !inBuffers[0] ? 0 : inBuffers[0]->getFrameNBAllocated();
    // Room for a full input buffer plus the carried frames and the silence
    // of the last block, so that the array never has to grow during a run.
    const unsigned spectra = (inAllocated + 2 * hop) / hop + 1;
    const unsigned ov = getOutBufferOverlap(sampleRate);
    for (auto& buffer : outBuffers) {
        buffer = SoundBuffer::createNew(sampleRate);
        buffer->alloc(spectra + ov, 2, bins, 2);
    }

    if (plan == nullptr || planSize != size) {
        releaseTransform();
        timeScratch = SoundFFTPlanner::allocArray(std::size_t(size) * 2);
        spectrumScratch = SoundFFTPlanner::allocArray(std::size_t(bins) * 4);
        plan = SoundFFTPlanner::planPlanarR2C(static_cast<int>(size), 2, timeScratch, spectrumScratch);
        if (plan == nullptr) {
            releaseTransform();
            setError("FFTW could not plan the transform", getName());
            return SoundTools::StatusError;
        }
        planSize = size;
    }
    std::fill(timeScratch, timeScratch + std::size_t(size) * 2, 0.0);
    carry.assign(std::size_t(hop) * 2, 0.0);
    carryNext.assign(std::size_t(hop) * 2, 0.0);
    carryFrames = 0;
    positioned = false;
    outOrigin = 0;
    return SoundTools::StatusOk;
}

void SoundAlgoFFTDirectCompute::updateOutput()
{
    const unsigned hop = getHop();
    const int inOrigin = getInOrigin();
    if (!positioned) {
        // The first block starts the stream: nothing is carried yet.
        nextInPos = inOrigin;
        carryStart = inOrigin;
        carryFrames = 0;
        positioned = true;
    }
    const int64_t availableEnd = int64_t(inOrigin) + getInFrameNb();
    const int64_t available = std::max<int64_t>(0, availableEnd - nextInPos);
    const unsigned spectra = hop > 0 ? static_cast<unsigned>(available / hop) : 0;
    // Everything before the look-ahead is final once these spectra are
    // transformed: the frames left over are fewer than a hop.
    emitEnd = std::max<int64_t>(inOrigin, availableEnd - getInOverlap(sampleRate));
    outOrigin = static_cast<int32_t>(nextInPos);
    placeOutput(outOrigin, spectra);
}

void SoundAlgoFFTDirectCompute::gather(int64_t pos, unsigned count, double* dest, unsigned planar)
{
    SoundBuffer& in = *inBuffers[0];
    const int64_t inOrigin = in.getOrigin();
    const int64_t inEnd = inOrigin + in.getFrameNB();
    unsigned done = 0;
    while (done < count) {
        const int64_t p = pos + done;
        unsigned run = count - done;
        const double* src = nullptr;
        if (p < inOrigin) {
            const int64_t carryEnd = carryStart + carryFrames;
            if (p >= carryStart && p < carryEnd) {
                run = static_cast<unsigned>(std::min<int64_t>(run, carryEnd - p));
                src = carry.data() + (p - carryStart) * 2;
            } else {
                const int64_t limit = p < carryStart ? std::min(carryStart, inOrigin) : inOrigin;
                run = static_cast<unsigned>(std::min<int64_t>(run, limit - p));
            }
        } else if (p < inEnd) {
            run = std::min<unsigned>(run, static_cast<unsigned>(inEnd - p));
            src = in.getRelFrame(static_cast<int>(p - inOrigin));
        }
        if (planar != 0) {
            double* left = dest + done;
            double* right = left + planar;
            if (src != nullptr) {
                for (unsigned i = 0; i < run; ++i) {
                    left[i] = src[2 * i];
                    right[i] = src[2 * i + 1];
                }
            } else {
                std::fill(left, left + run, 0.0);
                std::fill(right, right + run, 0.0);
            }
        } else if (src != nullptr) {
            std::memcpy(dest + std::size_t(done) * 2, src, sizeof(double) * 2 * run);
        } else {
            std::fill(dest + std::size_t(done) * 2, dest + std::size_t(done + run) * 2, 0.0);
        }
        done += run;
    }
}

SoundTools::Status SoundAlgoFFTDirectCompute::process()
{
    if (inBuffers.empty() || outBuffers.empty() || plan == nullptr)
        return SoundTools::StatusError;
    const unsigned hop = getHop();
    const unsigned bins = size / 2 + 1;
    const unsigned frames = zeroPadded ? hop : size; // frames read per spectrum
    SoundBuffer& out = *outBuffers[0];
    const int64_t inOrigin = getInOrigin();
    const int64_t availableEnd = inOrigin + getInFrameNb();
    const int64_t available = std::max<int64_t>(0, availableEnd - nextInPos);
    const unsigned n = std::min<unsigned>(getOutFrameNb(), static_cast<unsigned>(available / hop));

    for (unsigned s = 0; s < n; ++s) {
        const int64_t pos = nextInPos + int64_t(s) * hop;
        // Channels side by side, the padded tails staying zero.
        gather(pos, frames, timeScratch, size);
        SoundFFTPlanner::executeR2C(plan, timeScratch, spectrumScratch);
        double* spectrum = out.getFrame(outOrigin + static_cast<int>(s));
        const double* left = spectrumScratch;
        const double* right = spectrumScratch + 2 * std::size_t(bins);
        for (unsigned k = 0; k < bins; ++k) {
            spectrum[4 * k] = left[2 * k];
            spectrum[4 * k + 1] = left[2 * k + 1];
            spectrum[4 * k + 2] = right[2 * k];
            spectrum[4 * k + 3] = right[2 * k + 1];
        }
    }
    nextInPos += int64_t(n) * hop;
    outOrigin += static_cast<int32_t>(n);

    // Keep the frames of the unfinished hop for the next block: the input
    // buffer need not hold them any more by then.
    const int64_t left = std::max<int64_t>(0, availableEnd - nextInPos);
    const unsigned keep = static_cast<unsigned>(std::min<int64_t>(left, hop));
    gather(nextInPos, keep, carryNext.data());
    carry.swap(carryNext);
    carryStart = nextInPos;
    carryFrames = keep;
    return SoundTools::StatusOk;
}

void SoundAlgoFFTDirectCompute::endProcess(int status, unsigned frames)
{
    releaseTransform();
    carry.clear();
    carryNext.clear();
    carryFrames = 0;
    positioned = false;
    runHop = 0;
    SoundAlgoFFT::endProcess(status, frames);
}
