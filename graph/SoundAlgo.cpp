#include "SoundAlgo.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoLatencyInterface.h"
#include "SoundReader.h"
#include "SoundWriter.h"

#include <algorithm>
#include <limits>
#include <string>

SoundAlgo::LoopContext::LoopContext()
    : inOverlap(0)
    , delay(0)
    , outOverlap(0)
    , sampleRate(0)
    , totalFrames(0)
    , framesRead(0)
    , status(0)
{
}

SoundAlgo::LoopContext::~LoopContext() = default;

bool SoundAlgo::LoopContext::finalFrames(const SoundBuffer& buffer, int64_t& first, int64_t& end) const
{
    first = std::max<int64_t>(buffer.getOrigin(), windowBegin);
    end = std::min<int64_t>(int64_t(buffer.getOrigin()) + buffer.getFrameNB() - outOverlap, windowEnd);
    return end > first;
}

unsigned SoundAlgo::getLag(unsigned rate) const
{
    if (const auto* declared = dynamic_cast<const SoundAlgoLatencyInterface*>(this))
        return declared->getOutputLag(rate);
    return getDelay(rate);
}

unsigned SoundAlgo::getKeptDelay(unsigned rate) const
{
    if (const auto* declared = dynamic_cast<const SoundAlgoLatencyInterface*>(this))
        return std::min(declared->getIntendedDelay(rate), declared->getOutputLag(rate));
    return 0;
}

unsigned SoundAlgo::getLatency(unsigned rate) const
{
    return getLag(rate) - getKeptDelay(rate);
}

void SoundAlgo::setInputEnd(int64_t end)
{
    inputEnd = end;
    if (auto* composite = dynamic_cast<SoundAlgoComposite*>(this))
        for (unsigned b = 0; b < composite->getBranchNumber(); ++b)
            for (SoundAlgo* node : composite->getBranch(b))
                node->setInputEnd(end);
}

unsigned SoundAlgo::getFlushBound(unsigned rate) const
{
    uint64_t own = uint64_t(getInOverlap(rate)) + getOutOverlap(rate) + getSampleShift(rate) + getLag(rate)
        + getDelay(rate);
    if (const auto* composite = dynamic_cast<const SoundAlgoComposite*>(this)) {
        uint64_t longest = 0;
        for (unsigned b = 0; b < composite->getBranchNumber(); ++b) {
            uint64_t path = 0;
            for (const SoundAlgo* node : composite->getBranch(b))
                path += node->getFlushBound(rate);
            longest = std::max(longest, path);
        }
        own += longest;
    }
    return static_cast<unsigned>(std::min<uint64_t>(own, 0x7fffffffu));
}

SoundAlgo::SoundAlgo()
    : QObject(nullptr)
{
}

SoundAlgo::~SoundAlgo()
{
    inBuffers.clear();
    outBuffers.clear();
}

unsigned SoundAlgo::getInputNumber() const { return 1; }
unsigned SoundAlgo::getOutputNumber() const { return 1; }
unsigned SoundAlgo::getInFrameSize() const { return 1; }
unsigned SoundAlgo::getOutFrameSize() const { return 1; }
unsigned SoundAlgo::getInElementSize() const { return 1; }
unsigned SoundAlgo::getOutElementSize() const { return 1; }
unsigned SoundAlgo::getDelay(unsigned) const { return 0; }
unsigned SoundAlgo::getSampleShift(unsigned) const { return 0; }
unsigned SoundAlgo::getInOverlap(unsigned) const { return 0; }
unsigned SoundAlgo::getOutOverlap(unsigned) const { return 0; }

SoundTools::Status SoundAlgo::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                          SoundAlgo* nxt)
{
    next = nxt;
    sampleRate = rate;
    previous = prev;
    startOffset = offset;
    inputEnd = INT64_MAX;
    if (previous == nullptr) {
        const unsigned preferred = getPreferredBufferSize(rate);
        if (preferred != 0)
            SoundBuffer::setDefaultSize(preferred);
    }
    if (channels != 2)
        return SoundTools::StatusError;
    if (getInputNumber() == 0 || getOutputNumber() == 0)
        return SoundTools::StatusError;
    inBuffers.resize(getInputNumber());
    if (initInputBuffer() != SoundTools::StatusOk)
        return SoundTools::StatusError;
    outBuffers.resize(getOutputNumber());
    return initOutputBuffer() != SoundTools::StatusOk ? SoundTools::StatusError : SoundTools::StatusOk;
}

SoundTools::Status SoundAlgo::initInputBuffer()
{
    const unsigned inputs = getInputNumber();
    if (previous == nullptr) {
        const unsigned frames = SoundBuffer::getDefaultSize() + getInOverlap(sampleRate);
        for (unsigned i = 0; i < inputs; ++i) {
            inBuffers[i] = SoundBuffer::createNew(sampleRate);
            inBuffers[i]->alloc(frames, 2, getInFrameSize(), getInElementSize());
        }
        return SoundTools::StatusOk;
    }
    if (previous->getOutputNumber() < previous->outPortOffset
        || inputs > previous->getOutputNumber() - previous->outPortOffset
        || previous->getOutElementSize() != getInElementSize()
        || previous->getOutFrameSize() != getInFrameSize())
        return SoundTools::StatusError;
    for (unsigned i = 0; i < inputs; ++i) {
        inBuffers[i] = previous->getOutPort(i);
        if (!inBuffers[i])
            return SoundTools::StatusError;
    }
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgo::initOutputBuffer()
{
    const unsigned inAllocated = inBuffers.empty() || !inBuffers[0] ? 0 : inBuffers[0]->getFrameNBAllocated();
    const unsigned frames = getOutBufferOverlap(sampleRate) + inAllocated;
    for (auto& buffer : outBuffers) {
        buffer = SoundBuffer::createNew(sampleRate);
        buffer->alloc(frames, 2, getOutFrameSize(), getOutElementSize());
    }
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgo::useInputs(SoundAlgo* other)
{
    if (other == nullptr || getInputNumber() > other->getInputNumber()
        || getInElementSize() != other->getInElementSize() || getInFrameSize() != other->getInFrameSize()
        || other->inBuffers.size() < getInputNumber())
        return SoundTools::StatusError;
    inBuffers.resize(getInputNumber());
    for (unsigned i = 0; i < getInputNumber(); ++i)
        inBuffers[i] = other->inBuffers[i];
    return SoundTools::StatusOk;
}

int SoundAlgo::getInOrigin() const
{
    int result = std::numeric_limits<int>::min();
    for (const auto& buffer : inBuffers)
        if (buffer)
            result = std::max(result, buffer->getOrigin());
    return inBuffers.empty() ? 0 : result;
}

unsigned SoundAlgo::getInFrameNb() const
{
    if (inBuffers.empty())
        return 0;
    const int inOrigin = getInOrigin();
    int64_t smallest = std::numeric_limits<int64_t>::max();
    for (const auto& buffer : inBuffers) {
        if (!buffer)
            continue;
        smallest = std::min<int64_t>(smallest, int64_t(buffer->getOrigin()) + buffer->getFrameNB() - inOrigin);
    }
    if (smallest == std::numeric_limits<int64_t>::max())
        return 0;
    if (previous != nullptr)
        smallest -= previous->getOutOverlap(sampleRate);
    return smallest > 0 ? static_cast<unsigned>(smallest) : 0;
}

int SoundAlgo::getOutOrigin() const
{
    return getInOrigin() + static_cast<int>(getDelay(sampleRate)) - static_cast<int>(getOutOverlap(sampleRate));
}

unsigned SoundAlgo::getOutFrameNb() const
{
    if (outBuffers.empty())
        return 0;
    const int outOrigin = getOutOrigin();
    int64_t smallest = std::numeric_limits<int64_t>::max();
    for (const auto& buffer : outBuffers) {
        if (!buffer)
            continue;
        smallest = std::min<int64_t>(smallest, int64_t(buffer->getOrigin()) + buffer->getFrameNB() - outOrigin);
    }
    if (smallest == std::numeric_limits<int64_t>::max())
        return 0;
    return smallest > 0 ? static_cast<unsigned>(smallest) : 0;
}

unsigned SoundAlgo::getOutBufferOverlap(unsigned rate) const
{
    return getOutOverlap(rate) + (next != nullptr ? next->getInOverlap(rate) : 0);
}

unsigned SoundAlgo::getPreferredBufferSize(unsigned rate) const
{
    return std::max({SoundBuffer::getDefaultSize(), getOutBufferOverlap(rate), getInOverlap(rate)});
}

void SoundAlgo::setOutOrigin()
{
    const int origin = getInOrigin() + static_cast<int>(getDelay(sampleRate))
        - static_cast<int>(getOutBufferOverlap(sampleRate));
    for (auto& buffer : outBuffers)
        if (buffer)
            buffer->setOrigin(origin);
}

void SoundAlgo::updateOutput()
{
    const unsigned ov = getOutBufferOverlap(sampleRate);
    const int64_t n = getInFrameNb();
    const int64_t frames = std::max<int64_t>(0, n + ov - int64_t(getInOverlap(sampleRate)));
    // The origin follows the input origin, as setOutOrigin placed it, instead
    // of advancing by "frames held - margin": a block that consumed nothing
    // (a short input) must not move the output, and keepMargin always drops at
    // least one frame.
    const int64_t target = int64_t(getInOrigin()) + getDelay(sampleRate) - ov;
    for (auto& buffer : outBuffers) {
        if (!buffer)
            continue;
        const int64_t held = int64_t(buffer->getOrigin()) + buffer->getFrameNB() - target;
        unsigned kept = 0;
        if (held <= 0 || buffer->getFrameNB() == 0) {
            buffer->setOrigin(static_cast<int>(target));
        } else if (held < int64_t(buffer->getFrameNB())) {
            kept = buffer->keepMargin(static_cast<unsigned>(held));
        } else {
            kept = buffer->getFrameNB();
        }
        if (frames > int64_t(buffer->getFrameNBAllocated()) && kept > 0) {
            // Rare (a tail or a first block larger than planned): grow without
            // losing the margin, which a plain setFrameNB would zero.
            buffer->setFrameNB(kept);
            buffer->appendMargin(static_cast<unsigned>(frames - kept));
        } else {
            buffer->setFrameNB(static_cast<unsigned>(frames));
        }
    }
}

void SoundAlgo::endProcess(int, unsigned)
{
    inBuffers.clear();
    outBuffers.clear();
    previous = nullptr;
    next = nullptr;
}

void SoundAlgo::debugBuffers()
{
    std::ostream& os = getOStream();
    const std::shared_ptr<SoundBuffer> in = inBuffers.empty() ? nullptr : inBuffers[0];
    const std::shared_ptr<SoundBuffer> out = outBuffers.empty() ? nullptr : outBuffers[0];
    os << "=================================\n";
    os << getName() << " :\n";
    if (in)
        os << "InBuffer.getOrigin :" << in->getOrigin() << " InBuffer.getEnd : " << in->getEnd()
           << " InBuffer.getFrameNB :" << in->getFrameNB() << "\n";
    if (out)
        os << "OutBuffer.getOrigin :" << out->getOrigin() << " OutBuffer.getEnd : " << out->getEnd()
           << " OutBuffer.getFrameNB :" << out->getFrameNB() << "\n";
    os << "getInOverlap :" << getInOverlap(sampleRate) << " getOutOverlap :" << getOutOverlap(sampleRate)
       << " getOutBufferOverlap :" << getOutBufferOverlap(sampleRate) << "\n";
    os << "getInOrigin :" << getInOrigin() << " getInFrameNb :" << getInFrameNb()
       << " getInEnd :" << getInOrigin() + static_cast<int>(getInFrameNb()) - 1 << "\n";
    os << "getOutOrigin :" << getOutOrigin() << " getOutFrameNb :" << getOutFrameNb()
       << " getOutEnd :" << getOutOrigin() + static_cast<int>(getOutFrameNb()) - 1 << "\n";
    os << std::endl;
}

void SoundAlgo::pleaseStop()
{
    stopRequested.store(true, std::memory_order_relaxed);
}

SoundTools::Status SoundAlgo::initProcessLoop(SoundReader& reader, LoopContext& context)
{
    if (getInputNumber() != 1 || getOutputNumber() != 1) {
        const std::string message = "a run needs a node with one input and one output, this one has "
            + std::to_string(getInputNumber()) + " and " + std::to_string(getOutputNumber());
        setError(message.c_str(), getName());
        return SoundTools::StatusError;
    }
    stopRequested.store(false, std::memory_order_relaxed);
    context.sampleRate = reader.getSampleRate();

    // The leading silence (delay) must leave room for at least one frame read
    // in the first block, and the last block holds the in overlap, its padding
    // and the sample shift: with a smaller block the reader would see no room
    // (an empty run reported as success) and the output would be re-allocated
    // at the end.
    const uint64_t needed = std::max<uint64_t>(uint64_t(getDelay(context.sampleRate)) + 1,
                                               uint64_t(getSampleShift(context.sampleRate)) + getInOverlap(context.sampleRate));
    if (needed > SoundBuffer::getDefaultSize())
        SoundBuffer::setDefaultSize(static_cast<unsigned>(std::min<uint64_t>(needed, 0x7fffffffu)));

    if (initProcess(context.sampleRate, 2, reader.getOffset(), nullptr, nullptr) != SoundTools::StatusOk) {
        if (*getError() == '\0')
            setError("initialisation failed (channel count, port count or frame geometry)", getName());
        return SoundTools::StatusError;
    }
    if (inBuffers.empty() || !inBuffers[0] || outBuffers.empty() || !outBuffers[0]) {
        setError("initialisation left a port without a buffer", getName());
        return SoundTools::StatusError;
    }
    // Read after initialisation: a composite settles its branches there, and
    // this is the geometry its buffers were laid out for.
    context.inOverlap = getInOverlap(context.sampleRate);
    context.delay = getDelay(context.sampleRate);
    context.outOverlap = getOutOverlap(context.sampleRate);

    const int64_t total = int64_t(reader.getFrameNB()) - reader.getOffset();
    context.totalFrames = total > 0 ? static_cast<uint32_t>(total) : 0;
    // The window: the frame computed from the first frame read opens it, and
    // it holds every frame read plus the delay the graph means to add.
    context.latency = getLatency(context.sampleRate);
    context.keptDelay = getKeptDelay(context.sampleRate);
    context.windowBegin = int64_t(reader.getOffset()) + context.latency;
    // The end follows the frames actually read (a stream may not announce
    // its length, an estimate may be wrong): see singleProcessLoop.
    context.windowEnd = context.windowBegin + context.keptDelay;
    context.flushed = 0;
    context.inputFrames = 0;
    context.inputEnded = false;
    context.finalEnd = INT64_MIN;
    emit notifyBegin(context.totalFrames);

    context.inBuffer = inBuffers[0];
    context.inBuffer->setOrigin(reader.getOffset());
    context.inBuffer->setInitialDelay(context.delay);
    setOutOrigin();
    context.framesRead = 0;
    context.status = SoundTools::StatusOk;
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgo::singleProcessLoop(SoundReader& reader, LoopContext& context, SoundWriter* writer)
{
    context.status = SoundTools::StatusOk;
    if (context.inputEnded && context.finalEnd >= context.windowEnd)
        return SoundTools::StatusEnd;
    SoundTools::Status blockResult = SoundTools::StatusOk;
    unsigned n = 0;
    if (!context.inputEnded) {
        n = reader.stereoRead(context.inBuffer, context.inOverlap);
        if (reader.readFailed()) {
            // A file that breaks off before its announced end must not pass
            // for a shorter file: the run fails with the reader's reason.
            setError(reader.getError(), nullptr);
            context.status = SoundTools::StatusError;
            context.outBuffer.reset();
            return SoundTools::StatusError;
        }
    }
    if (n == 0) {
        // The reader kept the margin of this block itself; later silence
        // blocks must drop what the graph consumed as a read does, or the
        // input fills up and a long latency is flushed one frame at a time.
        if (context.inputEnded && context.inBuffer->getFrameNB() > context.inOverlap)
            context.inBuffer->setFrameNB(context.inBuffer->keepMargin(context.inOverlap));
        // The input ends where its data ends, whatever length the reader
        // announced (unknown for a stream, estimated for some files).
        context.inputEnded = true;
        // Flush: silence until every node has delivered the window's last
        // frame; a graph that never gets there (a node that does not pass its
        // input on) fails instead of looping.
        if (context.finalEnd >= context.windowEnd || context.windowEnd <= context.windowBegin)
            return SoundTools::StatusEnd;
        const uint64_t bound = uint64_t(getFlushBound(context.sampleRate)) + context.keptDelay + context.latency + 1;
        if (context.flushed > 2 * bound + 2 * uint64_t(SoundBuffer::getDefaultSize())) {
            setError("the graph does not deliver the end of its input", getName());
            context.status = SoundTools::StatusError;
            context.outBuffer.reset();
            return SoundTools::StatusError;
        }
        const int64_t missing = context.windowEnd - std::max(context.finalEnd, context.windowBegin);
        const uint64_t room = context.inBuffer->getFrameNBAllocated() > context.inBuffer->getFrameNB()
            ? context.inBuffer->getFrameNBAllocated() - context.inBuffer->getFrameNB()
            : 0;
        // In steady state every frame given yields one more final frame, so
        // the missing frames are what to give; a graph that needs more gets
        // another block.
        uint64_t tail = std::max<uint64_t>(uint64_t(std::max<int64_t>(missing, 0)), 1);
        tail = std::min<uint64_t>(tail, std::max<uint64_t>(room, 1));
        context.inBuffer->appendMargin(static_cast<unsigned>(tail));
        context.framesRead += static_cast<uint32_t>(tail);
        context.flushed += tail;
    } else {
        context.framesRead += n;
        context.inputFrames += n;
        context.windowEnd = context.windowBegin + int64_t(context.inputFrames) + context.keptDelay;
    }
    // A reader that padded its block (or read nothing) has met the end.
    const int64_t inputEnd = context.windowBegin - context.latency + int64_t(context.inputFrames);
    if (getInputEnd() == INT64_MAX && (context.inputEnded || int64_t(reader.getOffset()) > inputEnd))
        setInputEnd(inputEnd);

    updateOutput();
    context.status = process();
    if (context.status != SoundTools::StatusOk) {
        context.outBuffer.reset();
        return static_cast<SoundTools::Status>(context.status);
    }
    context.outBuffer = outBuffers[0];
    SoundBuffer& out = *context.outBuffer;
    const int64_t blockEnd = int64_t(out.getOrigin()) + out.getFrameNB() - context.outOverlap;
    int64_t first = 0, end = 0;
    if (writer != nullptr && context.finalFrames(out, first, end)
        && writer->writeFrames(out, first, end, context.latency)) {
        setError(writer->getError(), nullptr);
        context.status = SoundTools::StatusError;
    }
    context.finalEnd = std::max(context.finalEnd, blockEnd);
    if (context.inputEnded && context.finalEnd >= context.windowEnd)
        blockResult = SoundTools::StatusEnd;
    emit notifyInProgress(context.framesRead, context.totalFrames);
    // A failed block stays a failure even if a stop was asked meanwhile.
    if (stopRequested.load(std::memory_order_relaxed) && context.status == SoundTools::StatusOk)
        context.status = SoundTools::StatusStopped;
    return context.status != SoundTools::StatusOk ? static_cast<SoundTools::Status>(context.status) : blockResult;
}

int SoundAlgo::endProcessLoop(LoopContext& context)
{
    emit notifyEnd(context.status);
    // Nodes that report on the run count the input's frames, not the silence
    // that flushed the graph.
    endProcess(context.status, static_cast<unsigned>(std::min<uint64_t>(context.inputFrames, context.framesRead)));
    return 0;
}

SoundTools::Status SoundAlgo::processAll(SoundReader& reader, SoundWriter* writer)
{
    LoopContext context;
    if (initProcessLoop(reader, context) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    while (singleProcessLoop(reader, context, writer) == SoundTools::StatusOk) {
    }
    endProcessLoop(context);
    return static_cast<SoundTools::Status>(context.status);
}
