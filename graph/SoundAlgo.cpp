#include "SoundAlgo.h"

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
    SoundTools::Status blockResult = SoundTools::StatusOk;
    const unsigned n = reader.stereoRead(context.inBuffer, context.inOverlap);
    if (reader.readFailed()) {
        // A file that breaks off before its announced end must not pass for a
        // shorter file: the run fails with the reader's reason.
        setError(reader.getError(), nullptr);
        context.status = SoundTools::StatusError;
        context.outBuffer.reset();
        return SoundTools::StatusError;
    }
    if (n == 0) {
        const unsigned tail = getSampleShift(context.sampleRate);
        if (context.inOverlap == 0 && tail == 0)
            return SoundTools::StatusEnd;
        context.inBuffer->appendMargin(tail);
        context.framesRead += tail;
        blockResult = SoundTools::StatusEnd;
    } else {
        context.framesRead += n;
    }

    updateOutput();
    context.status = process();
    if (context.status != SoundTools::StatusOk) {
        context.outBuffer.reset();
        return static_cast<SoundTools::Status>(context.status);
    }
    context.outBuffer = outBuffers[0];
    if (writer != nullptr && writer->writeBuffer(context.outBuffer, context.outOverlap)) {
        setError(writer->getError(), nullptr);
        context.status = SoundTools::StatusError;
    }
    emit notifyInProgress(context.framesRead, context.totalFrames);
    // A failed block stays a failure even if a stop was asked meanwhile.
    if (stopRequested.load(std::memory_order_relaxed) && context.status == SoundTools::StatusOk)
        context.status = SoundTools::StatusStopped;
    return context.status != SoundTools::StatusOk ? static_cast<SoundTools::Status>(context.status) : blockResult;
}

int SoundAlgo::endProcessLoop(LoopContext& context)
{
    emit notifyEnd(context.status);
    endProcess(context.status, context.framesRead);
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
