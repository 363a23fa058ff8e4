#pragma once

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundRefCounted.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QObject>
#include <boost/noncopyable.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class SoundReader;
class SoundWriter;

/// Base class of every processing node.
///
/// A node has numbered input and output ports (shared stereo SoundBuffers),
/// declares its geometry through the virtual getters below (all counts in
/// frames, the argument being the run's sample rate), and processes block by
/// block the frames available at its inputs into its outputs. Positions are
/// absolute frame indices of the stream. Nodes are reference counted
/// (SoundRefCounted) and never copied.
///
/// A run: initProcess (wires ports, sizes buffers), setOutOrigin once, then
/// per block updateOutput and process, and endProcess at the end. The loop of
/// processAll / initProcessLoop / singleProcessLoop / endProcessLoop drives a
/// node with one input and one output over a whole reader.
class TEVO_EXPORT SoundAlgo : public QObject,
                              public SoundDebuggableClass,
                              public SoundRefCounted,
                              private boost::noncopyable {
    Q_OBJECT

public:
    /// State of one processing run; owned by the caller.
    struct TEVO_EXPORT LoopContext {
        LoopContext();
        ~LoopContext();

        uint32_t inOverlap;
        uint32_t delay;
        uint32_t outOverlap;
        uint32_t sampleRate;
        uint32_t totalFrames;
        uint32_t framesRead;
        std::shared_ptr<SoundBuffer> inBuffer;
        std::shared_ptr<SoundBuffer> outBuffer;
        int32_t status;
    };

    SoundAlgo();

    virtual const char* getName() const = 0;

    /// Input port i; empty when there is no such port (before initProcess,
    /// after endProcess, or i beyond the port count).
    std::shared_ptr<SoundBuffer> getInBuffer(unsigned i) const
    {
        return i < inBuffers.size() ? inBuffers[i] : nullptr;
    }
    /// Output port i; empty when there is no such port.
    std::shared_ptr<SoundBuffer> getOutBuffer(unsigned i) const
    {
        return i < outBuffers.size() ? outBuffers[i] : nullptr;
    }

    /// Processes the frames available at the inputs into the outputs.
    virtual SoundTools::Status process() = 0;

    /// A whole run from `reader` into `writer` (which may be null). Returns 0
    /// after a normal end, 1 on failure (error text set), 2 when stopped.
    SoundTools::Status processAll(SoundReader& reader, SoundWriter* writer);
    /// Prepares a run; 0 when ready. Raises the block size
    /// (SoundBuffer::setDefaultSize) so that one block holds the node's delay
    /// plus one frame, and its in overlap plus its sample shift: the leading
    /// and trailing silence then never leave a block without room.
    SoundTools::Status initProcessLoop(SoundReader& reader, LoopContext& context);
    /// One block: 0 while the run goes on, 3 after the last block, 1 or 2 when
    /// the run failed or was stopped.
    SoundTools::Status singleProcessLoop(SoundReader& reader, LoopContext& context, SoundWriter* writer);
    /// Emits notifyEnd and ends the run on every node; returns 0.
    int endProcessLoop(LoopContext& context);

signals:
    void notifyBegin(unsigned int aFrameNBToProcess);
    void notifyInProgress(unsigned int aFrameNBToProcess, unsigned int aFrameNBProcessed);
    void notifyEnd(int aStatus);

public slots:
    /// Ends the current run after the block in progress; callable from any thread.
    void pleaseStop();

protected:
    virtual ~SoundAlgo();

public:
    /// Writes the geometry and buffer positions of the node to the diagnostics
    /// stream, whatever the verbose and debug flags say. Public so that a
    /// composite can report its inner nodes.
    virtual void debugBuffers();

    // Geometry. Public so that hosts and enclosing nodes can ask a node for it.
    virtual unsigned getInputNumber() const;
    virtual unsigned getOutputNumber() const;
    virtual unsigned getInFrameSize() const;
    virtual unsigned getOutFrameSize() const;
    virtual unsigned getInElementSize() const;
    virtual unsigned getOutElementSize() const;
    virtual unsigned getDelay(unsigned sampleRate) const;
    virtual unsigned getSampleShift(unsigned sampleRate) const;
    virtual unsigned getInOverlap(unsigned sampleRate) const;
    virtual unsigned getOutOverlap(unsigned sampleRate) const;

    virtual SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset,
                                           SoundAlgo* previous, SoundAlgo* next);

protected:
    virtual SoundTools::Status initInputBuffer();
    virtual SoundTools::Status initOutputBuffer();

public:
    virtual void setOutOrigin();
    /// Start of a block: moves every output buffer so that it begins at
    /// getInOrigin() + delay - getOutBufferOverlap() (keeping the frames from
    /// there on as margin) and sizes it for the frames this block produces:
    /// getInFrameNb() + margin - in overlap, never below 0. A block larger than
    /// the allocation grows the buffer without losing the margin.
    virtual void updateOutput();
    virtual unsigned getPreferredBufferSize(unsigned sampleRate) const;
    virtual void endProcess(int status, unsigned frames);
    virtual int getOutOrigin() const;

    std::shared_ptr<SoundBuffer> getOutPort(unsigned i) const { return getOutBuffer(outPortOffset + i); }
    unsigned getOutPortNumber() const { return getOutputNumber() - outPortOffset; }
    void setOutPortOffset(unsigned n) { outPortOffset = n; }
    int getInOrigin() const;
    unsigned getInFrameNb() const;
    unsigned getOutFrameNb() const;
    unsigned getOutBufferOverlap(unsigned sampleRate) const;
    int getOffset() { return startOffset; }
    SoundTools::Status useInputs(SoundAlgo* other);
    /// Tells the node its neighbours ahead of initProcess (which sets them
    /// again), so that a node whose geometry follows its neighbours
    /// (SoundAlgoSelectChannel) answers correctly while a composite lays out
    /// its branches. Neither pointer is owned.
    void setNeighbours(SoundAlgo* previousNode, SoundAlgo* nextNode)
    {
        previous = previousNode;
        next = nextNode;
    }

    bool isStopRequested() const { return stopRequested.load(std::memory_order_relaxed); }

protected:
    std::vector<std::shared_ptr<SoundBuffer>> inBuffers;
    std::vector<std::shared_ptr<SoundBuffer>> outBuffers;
    uint32_t outPortOffset = 0;
    uint32_t sampleRate = 0;
    SoundAlgo* previous = nullptr; ///< feeding node, not owned
    SoundAlgo* next = nullptr;     ///< consuming node, not owned
    int32_t startOffset = 0;
    // Written by pleaseStop from any thread, read by the loop once per block.
    std::atomic<bool> stopRequested{false};
};
