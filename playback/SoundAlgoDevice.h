#pragma once

#include "SoundAlgo.h"
#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <QIODevice>
#include <QReadWriteLock>
#include <QSemaphore>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class SoundReader;

/// A read-only QIODevice that plays a processing graph: 16-bit signed
/// little-endian stereo PCM (4 bytes per frame) at the reader's sample rate.
///
/// A detached worker thread runs the processing loop over the reader, one
/// block per free slot of a small ring of buffers, with no writer; the audio
/// output pulls bytes through readData, which converts the frames of the ring
/// and, when it finds no block ready (at the start and after an underrun),
/// waits until the whole ring is full again. `freeSlots` and `filledSlots`
/// pace the two sides. The worker holds the graph lock for writing during each
/// loop step, and every live parameter change takes the same lock
/// (lockAlgo/unlockAlgo), so a change falls between two blocks.
///
/// Latency: the first bytes come out once the ring (getCurrentSize() blocks of
/// SoundBuffer::getDefaultSize() frames) is processed, and a live change is
/// heard up to a ring of blocks later. Hosts that play live should set a small
/// block size (e.g. 8192 frames) before start().
///
/// Threads: start/stop/lockAlgo on the host's thread (or any thread, one at a
/// time), readData on the audio output's thread, the worker on its own. Debug
/// lines go to Qt's debug output under the logging category "tevo.playback".
class TEVO_EXPORT SoundAlgoDevice : public QIODevice, public SoundDebuggableClass {
public:
    /// @param reader the source, not owned; it must outlive the device.
    /// @param algo   the last node of the graph; the device adds a reference.
    ///               Null plays the file unchanged (through a pass-through
    ///               node that the device owns).
    SoundAlgoDevice(SoundReader* reader, SoundAlgo* algo);
    /// Stops the device, then releases its reference on the node.
    ~SoundAlgoDevice() override;

    /// Starts playback from the reader's start point: rewinds the reader,
    /// prepares the loop, sizes the ring, opens the device and launches the
    /// worker. Does nothing while the run plays; after its end, waits for the
    /// worker still leaving and starts again. When the loop cannot be
    /// prepared the device stays closed and getStatus() returns StatusError.
    /// A run that ended by itself is ended on the nodes first (endProcess), so
    /// a replay sounds like the first play.
    void start();
    /// Stops the worker (waiting for it to leave, without spinning), ends the
    /// run on the nodes (status StatusStopped when the run was cut short),
    /// closes the device and refills the semaphores. Safe to call twice. Must
    /// not be called by a thread that holds lockAlgo(); called from the worker
    /// itself (a slot of a node signal) it only asks the worker to stop.
    void stop();

    /// True while the worker thread is running.
    bool isRunning() const;
    /// StatusOk while running, StatusEnd once the input is exhausted,
    /// StatusStopped after stop, StatusError after a failure; the first
    /// non-zero value stays until the next start.
    SoundTools::Status getStatus() const;
    /// The reader's sample rate, Hz.
    unsigned getSampleRate() const;

    /// Exclusive access to the graph: the worker cannot be inside a processing
    /// step between these calls. Re-entrant on the same thread, so a slot
    /// connected directly to a node signal (emitted by the worker inside a
    /// step) may change parameters too.
    void lockAlgo();
    void unlockAlgo();

    /// True once the run has a non-zero status. Not QIODevice's end test: blocks
    /// may still wait in the ring.
    virtual bool atEnd();
    /// Bytes of input the worker has not processed yet ((total - read) * 4);
    /// 0 once the status is non-zero. Blocks already in the ring are not
    /// counted.
    qint64 bytesAvailable() const override;

    /// Slots of the ring of devices started from now on (4 at load).
    static int getCurrentSize();

protected:
    /// Fills `data` with up to maxSize bytes (whole frames). Blocks until the
    /// request is filled, the input ends (readChannelFinished is emitted) or
    /// the device is stopped or fails.
    qint64 readData(char* data, qint64 maxSize) override;
    /// Read-only device: always 0.
    qint64 writeData(const char* data, qint64 maxSize) override;

    /// Body of the worker thread.
    void MTStart();
    /// The worker's loop: one block per free slot, then the end token.
    virtual void run();
    /// Runs one loop step and copies the output into the next slot. False when
    /// the step produced no new frame.
    bool loadBuffer();
    /// One more slot for devices started from now on; a running ring keeps its
    /// size (its indices wrap by it).
    void addResource();
    /// Sets the status, only while it is StatusOk.
    void setStatus(SoundTools::Status s);
    void setThread(int t);
    int getThread() const;

private:
    /// Ends the run on the nodes if one was prepared and not ended yet.
    void endOpenLoop();
    /// Wakes a readData or stop waiting on the worker.
    void wakeWaiters();
    bool onWorkerThread() const;
    /// Sets a semaphore to exactly n available tokens; only while nobody waits on it.
    static void setTokens(QSemaphore& semaphore, int n);

    std::vector<std::shared_ptr<SoundBuffer>> buffers;
    int32_t readIndex = -1;
    int32_t writeIndex = 0;
    SoundAlgo* algo = nullptr;
    SoundReader* reader = nullptr; ///< not owned
    SoundAlgo::LoopContext loop;
    int32_t playPosition = 0;
    SoundTools::Status status = SoundTools::StatusOk;
    QSemaphore freeSlots;
    QSemaphore filledSlots;
    mutable QReadWriteLock statusLock;
    QReadWriteLock algoLock;
    int32_t thread = 0;

    // Ring geometry of the current run, fixed at start.
    int ringSize = 0;
    // Blocks copied into the ring by the worker and blocks taken by readData
    // (both under statusLock): a filled token taken while taken == loaded is
    // the end token, whatever the order the status and tokens were published in.
    int64_t blocksLoaded = 0;
    int64_t blocksTaken = 0;
    // loop.framesRead as of the last block and loop.totalFrames, published
    // under statusLock for bytesAvailable (the loop context is written without
    // that lock).
    uint32_t framesProcessed = 0;
    uint32_t framesTotal = 0;
    // One past the last final frame copied into the ring: a step that reports
    // the end without processing leaves the previous block in outBuffer.
    int64_t loadedEnd = 0;
    // readData state (its own thread): holding the slot at readIndex, end token seen.
    bool holdingSlot = false;
    bool endReached = false;
    // A run was prepared by initProcessLoop and not yet ended by endProcessLoop.
    bool loopOpen = false;
    std::atomic<std::thread::id> workerId{};
    // stop() and readData wait on the worker through this pair.
    std::mutex waitMutex;
    std::condition_variable waitCondition;
    // Serialises start, stop and readData's use of the ring (recursive: a slot
    // of readChannelFinished may stop the device from inside readData).
    std::recursive_mutex controlMutex;

    static int currentSize;
};
