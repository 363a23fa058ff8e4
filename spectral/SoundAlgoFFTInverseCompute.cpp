#include "SoundAlgoFFTInverseCompute.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoFFTDirectCompute.h"

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
    return mode == Plain ? size : (mode == OverlapAdd && addHop != 0 ? addHop : size / 2);
}

void SoundAlgoFFTInverseCompute::releaseTransform()
{
    SoundFFTPlanner::destroy(plan);
    planSize = 0;
    SoundFFTPlanner::freeArray(work);
    SoundFFTPlanner::freeArray(spectrumScratch);
    SoundFFTPlanner::freeArray(hopScratch);
}

const SoundAlgoFFTDirectCompute* SoundAlgoFFTInverseCompute::findSource() const
{
    // Spectral nodes and composites pass the direct transform's numbering
    // through unchanged; anything else makes its own spectra.
    const SoundAlgo* node = previous;
    for (int guard = 0; node != nullptr && guard < 1000; ++guard) {
        if (auto* direct = dynamic_cast<const SoundAlgoFFTDirectCompute*>(node))
            return direct;
        if (auto* spectral = dynamic_cast<const SoundAlgoFFT*>(node))
            node = spectral->getFeedingNode();
        else if (auto* composite = dynamic_cast<const SoundAlgoComposite*>(node))
            node = composite->getBranchNumber() > 0 && !composite->getBranch(0).empty()
                ? composite->getBranch(0).back()
                : nullptr;
        else
            return nullptr;
    }
    return nullptr;
}

SoundTools::Status SoundAlgoFFTInverseCompute::initInputBuffer()
{
    if (previous == nullptr) {
        setError("no node feeds the inverse transform", getName());
        return SoundTools::StatusError;
    }
    const std::shared_ptr<SoundBuffer> feed = previous->getOutPortNumber() > 0 ? previous->getOutPort(0) : std::shared_ptr<SoundBuffer>();
    const unsigned bins = feed ? feed->getFrameSize() : previous->getOutFrameSize();
    if (bins < 2) {
        setError(("spectra of " + std::to_string(bins) + " bins give a transform size below 2").c_str(), getName());
        return SoundTools::StatusError;
    }
    size = 2 * bins - 2;
    source = findSource();
    // Overlap-add follows the hop of the direct transform (at least half the
    // size, so that a transform overlaps only the next one).
    const unsigned sourceHop = source != nullptr && source->getSize() == size ? source->getHop() : 0;
    addHop = sourceHop >= size / 2 && sourceHop <= size ? sourceHop : size / 2;
    return SoundAlgoFFT::initInputBuffer();
}

SoundTools::Status SoundAlgoFFTInverseCompute::initOutputBuffer()
{
    const unsigned spectra = inBuffers.empty() || !inBuffers[0] ? 0 : inBuffers[0]->getFrameNBAllocated();
    const unsigned ov = getOutBufferOverlap(sampleRate);
    const unsigned hopOut = getHopOut();
    for (auto& buffer : outBuffers) {
        buffer = SoundBuffer::createNew(sampleRate);
        buffer->alloc(ov + hopOut * (spectra + 1), 2, 1, 1);
    }
    if (plan == nullptr || planSize != size) {
        releaseTransform();
        const unsigned bins = size / 2 + 1;
        work = SoundFFTPlanner::allocArray(std::size_t(size) * 2);
        spectrumScratch = SoundFFTPlanner::allocArray(std::size_t(bins) * 4);
        hopScratch = SoundFFTPlanner::allocArray(std::size_t(size) * 2);
        plan = SoundFFTPlanner::planPlanarC2R(static_cast<int>(size), 2, spectrumScratch, work);
        if (plan == nullptr) {
            releaseTransform();
            setError("FFTW could not plan the transform", getName());
            return SoundTools::StatusError;
        }
        planSize = size;
    }
    // The overlap-add tail of a previous run must not leak into this one.
    std::fill(work, work + std::size_t(size) * 2, 0.0);
    // Behind a matching direct transform at most one hop is ever pending;
    // twice that leaves room for a feed of another hop.
    pending.assign(std::size_t(hopOut) * 4, 0.0);
    pendingFrames = 0;
    positioned = false;
    outOrigin = 0;
    return SoundTools::StatusOk;
}

void SoundAlgoFFTInverseCompute::updateOutput()
{
    const int64_t first = getInOrigin();
    const int64_t made = first + int64_t(getHopOut()) * getInFrameNb();
    if (!positioned) {
        emitPos = first;
        positioned = true;
    }
    blockEnd = std::max(emitPos, source != nullptr ? source->getEmitEnd() : made);
    outOrigin = static_cast<int32_t>(emitPos);
    placeOutput(outOrigin, static_cast<unsigned>(blockEnd - emitPos));
}

void SoundAlgoFFTInverseCompute::deliver(int64_t pos, const double* frames, unsigned count)
{
    SoundBuffer& out = *outBuffers[0];
    const int64_t end = pos + count;
    // Due now: inside [emitPos, blockEnd).
    const int64_t dueFrom = std::max(pos, emitPos);
    const int64_t dueTo = std::min(end, blockEnd);
    if (dueTo > dueFrom)
        std::memcpy(out.getFrame(static_cast<int>(dueFrom)), frames + (dueFrom - pos) * 2,
                    sizeof(double) * 2 * std::size_t(dueTo - dueFrom));
    // Due later: kept in order from blockEnd on, as far as there is room.
    const int64_t laterFrom = std::max(pos, blockEnd);
    for (int64_t p = laterFrom; p < end; ++p) {
        const int64_t slot = p - blockEnd;
        if (slot >= int64_t(pending.size() / 2))
            break;
        pending[2 * slot] = frames[(p - pos) * 2];
        pending[2 * slot + 1] = frames[(p - pos) * 2 + 1];
        pendingFrames = std::max<unsigned>(pendingFrames, static_cast<unsigned>(slot + 1));
    }
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
    const unsigned n = getInFrameNb();
    const double scale = 1.0 / size;
    const int inOrigin = getInOrigin();

    // Frames made in the previous block for this one come first; anything
    // due that no spectrum provides (only with a mismatched feed) is silence.
    if (blockEnd > emitPos) {
        double* o = out.getFrame(static_cast<int>(emitPos));
        const unsigned due = static_cast<unsigned>(blockEnd - emitPos);
        const unsigned fromPending = std::min(pendingFrames, due);
        std::memcpy(o, pending.data(), sizeof(double) * 2 * fromPending);
        std::memmove(pending.data(), pending.data() + 2 * std::size_t(fromPending),
                     sizeof(double) * 2 * std::size_t(pendingFrames - fromPending));
        pendingFrames -= fromPending;
        const int64_t coveredFrom = std::max<int64_t>(inOrigin, emitPos + fromPending);
        const int64_t coveredTo = std::max(coveredFrom, int64_t(inOrigin) + int64_t(n) * hopOut);
        auto silence = [&](int64_t from, int64_t to) {
            from = std::max(from, emitPos + fromPending);
            to = std::min(to, blockEnd);
            if (to > from)
                std::fill(o + 2 * std::size_t(from - emitPos), o + 2 * std::size_t(to - emitPos), 0.0);
        };
        silence(emitPos, coveredFrom);
        silence(coveredTo, blockEnd);
    }
    // From here on the pending frames start at blockEnd.

    for (unsigned s = 0; s < n; ++s) {
        // Channels side by side for the transform (which also destroys it).
        const double* spectrum = in.getFrame(inOrigin + static_cast<int>(s));
        double* leftIn = spectrumScratch;
        double* rightIn = spectrumScratch + 2 * std::size_t(bins);
        for (unsigned k = 0; k < bins; ++k) {
            leftIn[2 * k] = spectrum[4 * k];
            leftIn[2 * k + 1] = spectrum[4 * k + 1];
            rightIn[2 * k] = spectrum[4 * k + 2];
            rightIn[2 * k + 1] = spectrum[4 * k + 3];
        }
        const int64_t pos = int64_t(inOrigin) + int64_t(s) * hopOut;
        // Write in place when the whole hop is due now, else go through the
        // scratch and split it.
        const bool direct = pos >= emitPos && pos + hopOut <= blockEnd;
        double* o = direct ? out.getFrame(static_cast<int>(pos)) : hopScratch;
        const double* left = work;
        const double* right = work + size;
        switch (mode) {
        case Plain:
            SoundFFTPlanner::executeC2R(plan, spectrumScratch, work);
            for (unsigned j = 0; j < size; ++j) {
                o[2 * j] = left[j] * scale;
                o[2 * j + 1] = right[j] * scale;
            }
            break;
        case OverlapAdd: {
            // The previous transform's frames past its hop overlap the start
            // of this one.
            const unsigned tail = size - hopOut;
            for (unsigned j = 0; j < tail; ++j) {
                o[2 * j] = left[hopOut + j];
                o[2 * j + 1] = right[hopOut + j];
            }
            SoundFFTPlanner::executeC2R(plan, spectrumScratch, work);
            for (unsigned j = 0; j < tail; ++j) {
                o[2 * j] = (o[2 * j] + left[j]) * scale;
                o[2 * j + 1] = (o[2 * j + 1] + right[j]) * scale;
            }
            for (unsigned j = tail; j < hopOut; ++j) {
                o[2 * j] = left[j] * scale;
                o[2 * j + 1] = right[j] * scale;
            }
            break;
        }
        case Autocorrelation:
            SoundFFTPlanner::executeC2R(plan, spectrumScratch, work);
            // Lag j sums size/2 - j products of a zero-padded half block;
            // the floor of 50 keeps the last lags from being blown up.
            for (unsigned j = 0; j < half; ++j) {
                const double norm = 1.0 / (double(size) * std::max<double>(double(half) - j, 50.0));
                o[2 * j] = left[j] * norm;
                o[2 * j + 1] = right[j] * norm;
            }
            break;
        }
        if (!direct)
            deliver(pos, hopScratch, hopOut);
    }
    emitPos = blockEnd;
    outOrigin = static_cast<int32_t>(blockEnd);
    return SoundTools::StatusOk;
}

void SoundAlgoFFTInverseCompute::endProcess(int status, unsigned frames)
{
    releaseTransform();
    pending.clear();
    pendingFrames = 0;
    positioned = false;
    source = nullptr;
    SoundAlgoFFT::endProcess(status, frames);
}
