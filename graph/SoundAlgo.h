#pragma once

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundRefCounted.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QObject>
#include <boost/noncopyable.hpp>

#include <atomic>
#include <climits>
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
///
/// Geometry, every count in frames at the run's sample rate:
/// - delay (getDelay): where the node places its output. What it computes
///   from the window of input starting at position t lands at output
///   position t + delay. The loop puts this much silence in front of the
///   input so that the output covers the run from its first position.
/// - in overlap (getInOverlap): history the node reads in front of each
///   block's new frames; its input buffers keep that many frames from one
///   block to the next. A node with in overlap L and delay L/2 has a window
///   centred on its output.
/// - out overlap (getOutOverlap): trailing output frames of a block that are
///   not final yet (completed by the next block); consumers do not count them.
/// - sample shift (getSampleShift): silence the node wants after the end of
///   the input to deliver all of its output. The loop does not rely on it
///   alone: it flushes the whole graph (see LoopContext).
/// - lag and latency (getLag, getKeptDelay, getLatency, through
///   SoundAlgoLatencyInterface): how far the output really lies behind the
///   input, the part of it that is the node's purpose, and the rest, which the
///   loop compensates so that a run gives back its input lined up.
class TEVO_EXPORT SoundAlgo : public QObject,
                              public SoundDebuggableClass,
                              public SoundRefCounted,
                              private boost::noncopyable {
    Q_OBJECT

public:
    /// State of one processing run; owned by the caller.
    ///
    /// The run's output window: the loop delivers output positions
    /// [windowBegin, windowEnd) and nothing else. windowBegin is the reader's
    /// start plus the graph's latency (the lag that is not intended), so the
    /// first delivered frame is the one computed from the first frame read;
    /// the window holds every input frame plus the graph's intended delay.
    /// Position p of the window belongs to input position p - latency.
    struct TEVO_EXPORT LoopContext {
        LoopContext();
        ~LoopContext();

        /// Frames of history the top node keeps in its input (its in overlap,
        /// at the run's rate).
        uint32_t inOverlap;
        /// Frames of silence put in front of the input (the top node's delay).
        uint32_t delay;
        /// Trailing frames of each output block that are not final yet.
        uint32_t outOverlap;
        /// Hz, from the reader.
        uint32_t sampleRate;
        /// Frames the run expects to read: the reader's announced length
        /// minus its start position (getFrameNB() - getOffset()); the input
        /// may end elsewhere (inputFrames counts what came).
        uint32_t totalFrames;
        /// Frames given to the node since the start position, the flush
        /// silence included (the leading silence of the delay is not).
        uint32_t framesRead;
        /// The top node's input port 0.
        std::shared_ptr<SoundBuffer> inBuffer;
        /// The top node's output port 0 after the last good block; empty
        /// after a failed one.
        std::shared_ptr<SoundBuffer> outBuffer;
        /// SoundTools::Status of the last block.
        int32_t status;

        /// First output position delivered (absolute frame index).
        int64_t windowBegin = 0;
        /// Output position after the last one delivered.
        int64_t windowEnd = 0;
        /// Frames of processing latency compensated: windowBegin - start.
        uint32_t latency = 0;
        /// Frames of intended delay kept at the front of the output.
        uint32_t keptDelay = 0;
        /// Frames read from the input so far (silence excluded).
        uint64_t inputFrames = 0;
        /// Frames of silence appended after the input so far.
        uint64_t flushed = 0;
        /// True once the input has ended (only silence is given from then on).
        bool inputEnded = false;
        /// End of the final output of the previous block (absolute position).
        int64_t finalEnd = INT64_MIN;

        /// The frames of `buffer` (an output block of this run) that are final
        /// and inside the window: positions [first, end). False when none.
        /// The writer and the playback device both deliver exactly these.
        bool finalFrames(const SoundBuffer& buffer, int64_t& first, int64_t& end) const;
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

    // Geometry. Public so that hosts and enclosing nodes can ask a node for
    // it. Constant during a run; `sampleRate` is the run's rate in Hz, so that
    // nodes whose parameters are durations can answer in frames.

    /// Input ports (each a stereo SoundBuffer); 1 by default.
    virtual unsigned getInputNumber() const;
    /// Output ports; 1 by default.
    virtual unsigned getOutputNumber() const;
    /// Values per channel in one frame of the input buffers (SoundBuffer's
    /// frame size): 1 for samples, more for ports that carry blocks such as
    /// spectra. Must equal the previous node's getOutFrameSize.
    virtual unsigned getInFrameSize() const;
    /// Values per channel in one frame of the output buffers.
    virtual unsigned getOutFrameSize() const;
    /// Doubles per value of the input buffers (SoundBuffer's element size): 1
    /// for real samples, 2 for complex bins. Must equal the previous node's
    /// getOutElementSize.
    virtual unsigned getInElementSize() const;
    /// Doubles per value of the output buffers.
    virtual unsigned getOutElementSize() const;
    /// Frames by which the node places its output after its input: what it
    /// computes from input position t lands at output position t + delay.
    virtual unsigned getDelay(unsigned sampleRate) const;
    /// Frames of silence that must follow the end of the input for the node
    /// to deliver all of its output.
    virtual unsigned getSampleShift(unsigned sampleRate) const;
    /// Frames of history in front of each block's new frames that the node
    /// reads; its input buffers keep that many from one block to the next.
    virtual unsigned getInOverlap(unsigned sampleRate) const;
    /// Trailing frames of each output block that are provisional (completed
    /// by the next block); consumers do not count them.
    virtual unsigned getOutOverlap(unsigned sampleRate) const;

    virtual SoundTools::Status initProcess(unsigned sampleRate, unsigned channels, int startOffset,
                                           SoundAlgo* previous, SoundAlgo* next);

protected:
    virtual SoundTools::Status initInputBuffer();
    virtual SoundTools::Status initOutputBuffer();

public:
    /// Once per run, after initProcess: sets every output buffer's origin to
    /// getInOrigin() + delay - getOutBufferOverlap(), so the first block's
    /// output lines up with its input.
    virtual void setOutOrigin();
    /// Start of a block: moves every output buffer so that it begins at
    /// getInOrigin() + delay - getOutBufferOverlap() (keeping the frames from
    /// there on as margin) and sizes it for the frames this block produces:
    /// getInFrameNb() + margin - in overlap, never below 0. A block larger than
    /// the allocation grows the buffer without losing the margin.
    virtual void updateOutput();
    /// New frames per block the node wants in its buffers: by default the
    /// largest of the default block size, getOutBufferOverlap and
    /// getInOverlap, so that the block size only grows. A node initialised
    /// without a previous one (the top node, the first of a branch) sets the
    /// process-wide block size (SoundBuffer::setDefaultSize) to it; 0 leaves
    /// the block size alone.
    virtual unsigned getPreferredBufferSize(unsigned sampleRate) const;
    /// End of a run: `status` the run's SoundTools::Status (0 after a normal
    /// end, 1 failed, 2 stopped), `frames` the input frames the run read
    /// (neither leading nor flush silence).
    virtual void endProcess(int status, unsigned frames);
    /// Absolute position of the first frame process writes in this block:
    /// getInOrigin() + delay - out overlap by default.
    virtual int getOutOrigin() const;

    /// Output port i counted from the port offset: the ports that the node
    /// after this one reads (a composite gives each branch its share).
    std::shared_ptr<SoundBuffer> getOutPort(unsigned i) const { return getOutBuffer(outPortOffset + i); }
    /// Output ports from the port offset on.
    unsigned getOutPortNumber() const { return getOutputNumber() - outPortOffset; }
    /// First output port that the next node reads (0 but while a composite
    /// wires its branches).
    void setOutPortOffset(unsigned n) { outPortOffset = n; }
    /// Absolute position of the first input frame of this block common to all
    /// input ports (the largest of their origins), history included.
    int getInOrigin() const;
    /// Frames every input port holds from getInOrigin() on, history included,
    /// without the previous node's provisional tail (its out overlap).
    unsigned getInFrameNb() const;
    /// Frames process writes from getOutOrigin() on in this block (0, never
    /// negative, when the output ends before it).
    unsigned getOutFrameNb() const;
    /// Frames the output buffers keep from one block to the next: this node's
    /// out overlap plus the next node's in overlap.
    unsigned getOutBufferOverlap(unsigned sampleRate) const;
    /// The run's start position: the absolute frame index of the first frame
    /// read (the reader's read position as the run began), as given to
    /// initProcess. Neither a delay nor a buffer position; getStartPosition
    /// says so by name.
    int getOffset() { return startOffset; }
    /// Same as getOffset.
    int getStartPosition() const { return startOffset; }
    SoundTools::Status useInputs(SoundAlgo* other);
    /// Makes this node read `inputs` (shared) as its input ports.
    void setInputBuffers(const std::vector<std::shared_ptr<SoundBuffer>>& inputs) { inBuffers = inputs; }
    /// Tells the node its neighbours ahead of initProcess (which sets them
    /// again), so that a node whose geometry follows its neighbours
    /// (SoundAlgoSelectChannel) answers correctly while a composite lays out
    /// its branches. Neither pointer is owned.
    void setNeighbours(SoundAlgo* previousNode, SoundAlgo* nextNode)
    {
        previous = previousNode;
        next = nextNode;
    }

    /// Real lag of the output behind the input, frames (see
    /// SoundAlgoLatencyInterface; the declared delay for a plain node).
    unsigned getLag(unsigned sampleRate) const;
    /// Part of the lag that is the node's purpose and stays in the output.
    unsigned getKeptDelay(unsigned sampleRate) const;
    /// Processing latency, frames: getLag - getKeptDelay. The loop removes it.
    unsigned getLatency(unsigned sampleRate) const;
    /// Frames of silence that surely flush every node of the graph once the
    /// input has ended: the sum over the longest path of in overlap, out
    /// overlap, sample shift and lag. An upper bound used to stop a run that
    /// does not complete its window; the loop stops as soon as it is complete.
    unsigned getFlushBound(unsigned sampleRate) const;

    /// Position after the last input frame of the run, once the loop knows it
    /// (INT64_MAX until then): what lies behind is the silence that flushes
    /// the graph. Set by the loop on the whole graph; analysing nodes leave
    /// that silence out of what they measure.
    int64_t getInputEnd() const { return inputEnd; }
    void setInputEnd(int64_t end);

    bool isStopRequested() const { return stopRequested.load(std::memory_order_relaxed); }

protected:
    std::vector<std::shared_ptr<SoundBuffer>> inBuffers;
    std::vector<std::shared_ptr<SoundBuffer>> outBuffers;
    uint32_t outPortOffset = 0;
    uint32_t sampleRate = 0;
    SoundAlgo* previous = nullptr; ///< feeding node, not owned
    SoundAlgo* next = nullptr;     ///< consuming node, not owned
    int32_t startOffset = 0;       ///< the run's start position (see getOffset)
    int64_t inputEnd = INT64_MAX;
    // Written by pleaseStop from any thread, read by the loop once per block.
    std::atomic<bool> stopRequested{false};
};
