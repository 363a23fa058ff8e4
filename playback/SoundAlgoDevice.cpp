#include "SoundAlgoDevice.h"

#include "SoundAlgoBypass.h"
#include "SoundReader.h"

#include <QDebug>
#include <QLoggingCategory>

#include <chrono>
#include <cmath>
#include <limits>

// Enabled by default like qDebug(); hosts silence it with the filter rule
// "tevo.playback.debug=false".
Q_LOGGING_CATEGORY(lcDevice, "tevo.playback")

int SoundAlgoDevice::currentSize = 4;

namespace {

// How long readData sleeps between two looks at the ring while it waits for
// the worker; the worker also wakes it after every block.
constexpr std::chrono::milliseconds kPollInterval(250);

/// One sample as 16-bit little-endian PCM: scaled by 32768, clipped in double
/// (converting NaN or an out-of-range double to an integer is undefined),
/// truncated toward zero.
inline void storePcm16(double sample, char* out)
{
    double v = sample * 32768.0;
    if (std::isnan(v))
        v = 0.0;
    else if (v > 32767.0)
        v = 32767.0;
    else if (v < -32768.0)
        v = -32768.0;
    const auto pcm = static_cast<uint16_t>(static_cast<int16_t>(v));
    out[0] = static_cast<char>(pcm & 0xff);
    out[1] = static_cast<char>(pcm >> 8);
}

// ThreadSanitizer cannot see inside Qt's locks and semaphores (Qt is not built
// with it), so under it every access they order would be reported as a race.
// These helpers take and give the locks and tokens and tell it about the
// ordering; elsewhere they are the plain calls.
#if defined(__SANITIZE_THREAD__)
#define TEVO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TEVO_TSAN 1
#endif
#endif
#ifdef TEVO_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
inline void syncAcquire(const void* p) { __tsan_acquire(const_cast<void*>(p)); }
inline void syncRelease(const void* p) { __tsan_release(const_cast<void*>(p)); }
#else
inline void syncAcquire(const void*)
{
}
inline void syncRelease(const void*) {}
#endif

class ReadLock {
public:
    explicit ReadLock(QReadWriteLock& l)
        : lock(l)
    {
        lock.lockForRead();
        syncAcquire(&lock);
    }
    ~ReadLock()
    {
        syncRelease(&lock);
        lock.unlock();
    }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    QReadWriteLock& lock;
};

class WriteLock {
public:
    explicit WriteLock(QReadWriteLock& l)
        : lock(l)
    {
        lock.lockForWrite();
        syncAcquire(&lock);
    }
    ~WriteLock()
    {
        syncRelease(&lock);
        lock.unlock();
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    QReadWriteLock& lock;
};

void takeToken(QSemaphore& semaphore)
{
    semaphore.acquire();
    syncAcquire(&semaphore);
}

bool tryTakeToken(QSemaphore& semaphore, int timeoutMs)
{
    if (!semaphore.tryAcquire(1, timeoutMs))
        return false;
    syncAcquire(&semaphore);
    return true;
}

void giveTokens(QSemaphore& semaphore, int n = 1)
{
    syncRelease(&semaphore);
    semaphore.release(n);
}

} // namespace

SoundAlgoDevice::SoundAlgoDevice(SoundReader* r, SoundAlgo* a)
    : QIODevice(nullptr)
    , buffers(static_cast<std::size_t>(currentSize))
    , algo(a)
    , reader(r)
    , freeSlots(currentSize)
    , filledSlots(currentSize)
    , statusLock(QReadWriteLock::NonRecursive)
    // Recursive so that a parameter change made from a slot connected directly
    // to a node signal, which the worker emits inside its locked step, does not
    // deadlock the worker on itself.
    , algoLock(QReadWriteLock::Recursive)
{
    if (algo == nullptr)
        algo = new SoundAlgoBypass();
    else
        algo->addReference();
}

SoundAlgoDevice::~SoundAlgoDevice()
{
    stop();
    algo->releaseReference();
}

int SoundAlgoDevice::getCurrentSize() { return currentSize; }

bool SoundAlgoDevice::onWorkerThread() const { return workerId.load() == std::this_thread::get_id(); }

void SoundAlgoDevice::setTokens(QSemaphore& semaphore, int n)
{
    const int available = semaphore.available();
    if (available > n)
        semaphore.tryAcquire(available - n);
    else if (available < n)
        giveTokens(semaphore, n - available);
}

void SoundAlgoDevice::start()
{
    if (onWorkerThread())
        return;
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    if (getThread() > 0) {
        if (getStatus() == SoundTools::StatusOk)
            return; // playing: nothing to start
        // The run has ended (or was stopped from the worker) and its worker is
        // on its way out without waiting for anything: a start now must not be
        // lost, so wait for the worker to leave and start afresh.
        std::unique_lock<std::mutex> lock(waitMutex);
        waitCondition.wait(lock, [this] { return getThread() == 0; });
    }

    // A run that ended by itself is still open on the nodes: end it so that
    // they report and reset before the next one.
    endOpenLoop();
    if (isOpen())
        close();

    reader->rewind();
    playPosition = reader->getOffset();
    lockAlgo();
    const SoundTools::Status initStatus = algo->initProcessLoop(*reader, loop);
    // Playback starts where the run's window starts (after the latency).
    if (initStatus == SoundTools::StatusOk)
        playPosition = static_cast<int32_t>(loop.windowBegin);
    unlockAlgo();
    loopOpen = initStatus == SoundTools::StatusOk;
    int size;
    {
        WriteLock locker(statusLock);
        status = initStatus;
        ringSize = currentSize;
        size = ringSize;
        writeIndex = 0;
        blocksLoaded = 0;
        blocksTaken = 0;
        framesProcessed = 0;
        framesTotal = loop.totalFrames;
    }
    if (initStatus != SoundTools::StatusOk) {
        setError(*algo->getError() != '\0' ? algo->getError() : "cannot prepare the processing graph",
                 "SoundAlgoDevice::start");
        qCDebug(lcDevice) << "device start failure :" << algo->getError();
        return;
    }

    buffers.assign(static_cast<std::size_t>(size), nullptr);
    for (auto& buffer : buffers)
        buffer = SoundBuffer::createNew(reader->getSampleRate());
    readIndex = -1;
    holdingSlot = false;
    endReached = false;
    loadedEnd = std::numeric_limits<int64_t>::min();
    setTokens(filledSlots, 0);
    setTokens(freeSlots, size);

    open(QIODevice::ReadOnly);
    qCDebug(lcDevice) << "device launched.";
    setThread(1);
    std::thread worker(&SoundAlgoDevice::MTStart, this);
    workerId.store(worker.get_id());
    worker.detach();
}

void SoundAlgoDevice::stop()
{
    if (onWorkerThread()) {
        // Waiting here would wait for ourselves: ask, and let the worker leave
        // after its step; a later stop or start finishes the job.
        setStatus(SoundTools::StatusStopped);
        giveTokens(freeSlots);
        return;
    }
    if (getThread() > 0) {
        qCDebug(lcDevice) << "stopping running device";
        setStatus(SoundTools::StatusStopped);
        giveTokens(freeSlots);
        wakeWaiters();
    }
    {
        // Even when the flag already reads 0, the worker may still be inside
        // its last section (notifying under waitMutex): taking the mutex
        // waits for it to leave, before the device can be deleted.
        std::unique_lock<std::mutex> lock(waitMutex);
        waitCondition.wait(lock, [this] { return getThread() == 0; });
    }

    std::lock_guard<std::recursive_mutex> control(controlMutex);
    endOpenLoop();
    if (isOpen()) {
        close();
        qCDebug(lcDevice) << "Device closed";
        for (auto& buffer : buffers)
            buffer.reset();
    }
    const int size = ringSize > 0 ? ringSize : currentSize;
    if (freeSlots.available() < size)
        giveTokens(freeSlots, size - freeSlots.available());
    if (filledSlots.available() < size)
        giveTokens(filledSlots, size - filledSlots.available());
}

void SoundAlgoDevice::endOpenLoop()
{
    if (!loopOpen)
        return;
    // Nodes must see a stop, not a normal end, when the run was cut short.
    if (getStatus() == SoundTools::StatusStopped)
        loop.status = SoundTools::StatusStopped;
    lockAlgo();
    algo->endProcessLoop(loop);
    unlockAlgo();
    loopOpen = false;
}

bool SoundAlgoDevice::isRunning() const { return getThread() > 0; }

SoundTools::Status SoundAlgoDevice::getStatus() const
{
    ReadLock locker(statusLock);
    return status;
}

unsigned SoundAlgoDevice::getSampleRate() const { return reader->getSampleRate(); }

void SoundAlgoDevice::lockAlgo()
{
    algoLock.lockForWrite();
    syncAcquire(&algoLock);
}

void SoundAlgoDevice::unlockAlgo()
{
    syncRelease(&algoLock);
    algoLock.unlock();
}

bool SoundAlgoDevice::atEnd() { return getStatus() != SoundTools::StatusOk; }

qint64 SoundAlgoDevice::bytesAvailable() const
{
    ReadLock locker(statusLock);
    if (status != SoundTools::StatusOk)
        return 0;
    // The silent tail the loop appends counts as read, so framesRead can pass
    // the total: saturate instead of wrapping.
    return framesTotal > framesProcessed ? qint64(framesTotal - framesProcessed) * 4 : 0;
}

qint64 SoundAlgoDevice::writeData(const char*, qint64) { return 0; }

void SoundAlgoDevice::setStatus(SoundTools::Status s)
{
    {
        WriteLock locker(statusLock);
        if (status == SoundTools::StatusOk)
            status = s;
    }
    wakeWaiters();
}

void SoundAlgoDevice::setThread(int t)
{
    WriteLock locker(statusLock);
    thread = t;
}

int SoundAlgoDevice::getThread() const
{
    ReadLock locker(statusLock);
    return thread;
}

void SoundAlgoDevice::wakeWaiters()
{
    // Taking the mutex orders this wake-up after the waiter's last look at
    // its condition, so it cannot be lost.
    {
        std::lock_guard<std::mutex> lock(waitMutex);
    }
    waitCondition.notify_all();
}

void SoundAlgoDevice::addResource()
{
    WriteLock locker(statusLock);
    ++currentSize;
    qCDebug(lcDevice) << "buffer number set to" << currentSize;
}

void SoundAlgoDevice::MTStart()
{
    workerId.store(std::this_thread::get_id());
    run();
    qCDebug(lcDevice) << "device finished.";
    // Last touch of the device: once the flag is 0 under the mutex, stop() may
    // return and the device may be deleted, so notify before unlocking.
    std::lock_guard<std::mutex> lock(waitMutex);
    workerId.store(std::thread::id());
    setThread(0);
    waitCondition.notify_all();
}

void SoundAlgoDevice::run()
{
    takeToken(freeSlots);
    while (getStatus() == SoundTools::StatusOk) {
        const bool loaded = loadBuffer();
        if (loaded) {
            giveTokens(filledSlots);
            wakeWaiters();
        }
        if (getStatus() != SoundTools::StatusOk)
            break;
        // A step without frames used no slot: give its token back, or the
        // worker and readData could end up waiting for each other.
        if (!loaded)
            giveTokens(freeSlots);
        takeToken(freeSlots);
    }
    // The end token: readData tells it from a block by the block counts.
    giveTokens(filledSlots);
    wakeWaiters();
}

bool SoundAlgoDevice::loadBuffer()
{
    lockAlgo();
    const SoundTools::Status st = algo->singleProcessLoop(*reader, loop, nullptr);
    unlockAlgo();

    if (st != SoundTools::StatusOk)
        qCDebug(lcDevice) << "loadBuffer status " << st;
    const std::shared_ptr<SoundBuffer> out = loop.outBuffer;
    bool usable = (st == SoundTools::StatusOk || st == SoundTools::StatusEnd) && out && out->getFrameNB() > 0;
    SoundTools::Status failure = SoundTools::StatusOk;
    if (usable && !out->isStereo()) {
        setError("the last node of the graph does not give stereo frames", "SoundAlgoDevice");
        failure = SoundTools::StatusError;
        usable = false;
    }
    int64_t first = 0, end = 0;
    usable = usable && loop.finalFrames(*out, first, end);
    // At the end of the input the loop may return without processing, leaving
    // the previous block in outBuffer: it must not be queued twice.
    usable = usable && end > loadedEnd;

    WriteLock locker(statusLock);
    if (usable) {
        *buffers[static_cast<std::size_t>(writeIndex)] = *out;
        qCDebug(lcDevice) << writeIndex << " written";
        writeIndex = (writeIndex + 1) % ringSize;
        ++blocksLoaded;
        loadedEnd = end;
    }
    framesProcessed = loop.framesRead;
    // Published with the last block, under the same lock, so the end never
    // overtakes it.
    if (status == SoundTools::StatusOk)
        status = failure != SoundTools::StatusOk ? failure : st;
    return usable;
}

qint64 SoundAlgoDevice::readData(char* data, qint64 maxSize)
{
    if (maxSize <= 0)
        return 0;
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    qint64 copied = 0;
    for (;;) {
        const SoundTools::Status st = getStatus();
        if (st != SoundTools::StatusOk && st != SoundTools::StatusEnd) {
            giveTokens(freeSlots);
            qCDebug(lcDevice) << "readData:status" << st;
            emit readChannelFinished();
            return copied;
        }
        if (endReached) {
            emit readChannelFinished();
            return copied;
        }

        int64_t blockEnd = 0;
        if (holdingSlot) {
            const SoundBuffer& block = *buffers[static_cast<std::size_t>(readIndex)];
            int64_t first = 0;
            if (!loop.finalFrames(block, first, blockEnd))
                blockEnd = 0;
        }
        if (!holdingSlot || blockEnd <= playPosition) {
            if (holdingSlot) {
                holdingSlot = false;
                giveTokens(freeSlots);
            }
            qCDebug(lcDevice) << readIndex << " read";
            qCDebug(lcDevice) << "loading ; current :" << readIndex << " read avail :" << filledSlots.available()
                              << " write avail :" << freeSlots.available();
            if (filledSlots.available() == 0) {
                // Nothing ready: the start of playback or an underrun. Wait for
                // the whole ring, so that playback resumes with a full reserve.
                std::unique_lock<std::mutex> lock(waitMutex);
                while (filledSlots.available() < ringSize && getStatus() == SoundTools::StatusOk)
                    waitCondition.wait_for(lock, kPollInterval);
            }
            if (!tryTakeToken(filledSlots, static_cast<int>(kPollInterval.count())))
                continue;
            bool isBlock;
            SoundTools::Status now;
            {
                WriteLock locker(statusLock);
                isBlock = blocksTaken < blocksLoaded;
                if (isBlock)
                    ++blocksTaken;
                now = status;
            }
            if (!isBlock) {
                endReached = true;
                qCDebug(lcDevice) << "readData:status" << now;
                emit readChannelFinished();
                return copied;
            }
            readIndex = (readIndex + 1) % ringSize;
            holdingSlot = true;
            if (now != SoundTools::StatusOk && now != SoundTools::StatusEnd) {
                qCDebug(lcDevice) << "readData:status" << now;
                return copied;
            }
            const SoundBuffer& block = *buffers[static_cast<std::size_t>(readIndex)];
            int64_t first = 0;
            if (!loop.finalFrames(block, first, blockEnd))
                first = blockEnd = playPosition;
            // A node that skipped frames leaves a gap: play on from the block.
            if (playPosition < first)
                playPosition = static_cast<int32_t>(first);
        }

        SoundBuffer& block = *buffers[static_cast<std::size_t>(readIndex)];
        const int64_t n = std::min<int64_t>(blockEnd - playPosition, (maxSize - copied) / 4);
        if (n > 0) {
            const double* in = block.getFrame(playPosition);
            char* out = data + copied;
            for (int64_t i = 0; i < 2 * n; ++i)
                storePcm16(in[i], out + 2 * i);
            playPosition += static_cast<int32_t>(n);
            copied += 4 * n;
        }
        if (maxSize - copied < 4)
            return copied;
    }
}
