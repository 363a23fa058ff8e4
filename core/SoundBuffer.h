#pragma once

#include "SoundDebuggableClass.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <atomic>
#include <cstdint>
#include <memory>

/// A growable run of consecutive interleaved frames of a stream, placed at an
/// absolute stream position (its origin).
///
/// Between two blocks a buffer keeps a margin of its last frames
/// (keepMargin), moves its origin forward by the frames it dropped, and the
/// next block is appended behind the margin. Nodes exchange absolute
/// positions; the buffer translates them into places in its array. Frame
/// access checks only the lower bound: callers stay at or below getEnd().
class TEVO_EXPORT SoundBuffer : public SoundDebuggableClass {
public:
    explicit SoundBuffer(unsigned sampleRate);
    ~SoundBuffer();
    SoundBuffer& operator=(const SoundBuffer& other);

    /// A new empty buffer, object and count in one allocation.
    static std::shared_ptr<SoundBuffer> createNew(unsigned sampleRate);

    /// New frames per processing block (1048576 at load): the size of the
    /// calling thread's ThreadScope while one lives, else the process-wide one.
    static unsigned getDefaultSize();
    /// Sets the block size; 0 is ignored. Inside a ThreadScope only the
    /// scope's size changes (a run raising it for its graph included), so
    /// that runs on other threads keep theirs.
    static void setDefaultSize(unsigned n);

    /// Gives the calling thread its own block size while it lives: jobs run
    /// side by side in threads of one process each keep their block size
    /// instead of setting and restoring the process-wide one under each
    /// other's feet. Scopes nest; the playback worker and OpenMP teams do not
    /// see a scope of another thread (they read the process-wide size).
    class TEVO_EXPORT ThreadScope {
    public:
        explicit ThreadScope(unsigned frames);
        ~ThreadScope();
        ThreadScope(const ThreadScope&) = delete;
        ThreadScope& operator=(const ThreadScope&) = delete;

    private:
        unsigned previous;
    };

    /// Sizes the buffer for `frames` frames of the given geometry and empties it
    /// (frameNB 0). An array that can already hold them is kept, contents
    /// included, even when an earlier alloc() lowered frameNBAllocated below its
    /// real size; a new array is zeroed.
    void alloc(unsigned frames, int channels, unsigned frameSize, unsigned elementSize);
    /// Zeroes the allocated frames (frameNBAllocated of them).
    void reset();
    /// Sets the count of valid frames. Beyond frameNBAllocated it goes through
    /// alloc(): within the real size of the array the contents stay, beyond it
    /// the buffer comes back zeroed (earlier frames are lost; use appendMargin()
    /// to grow while keeping them).
    void setFrameNB(unsigned n);
    /// Valid frames in the buffer (from the origin on), margin included.
    unsigned getFrameNB() const { return frameNB; }
    /// Not a count of the buffer: the frames from absolute position f to the
    /// end of the valid frames (origin + frameNB - f), negative when f lies
    /// beyond. framesFrom says so by name.
    int getFrameNB(int f) const { return origin + static_cast<int>(frameNB) - f; }
    /// Same as getFrameNB(int).
    int framesFrom(int f) const { return origin + static_cast<int>(frameNB) - f; }
    unsigned getFrameNBAllocated() const { return frameNBAllocated; }
    int getOrigin() const { return origin; }
    void setOrigin(int o) { origin = o; }
    int getEnd() const { return origin + static_cast<int>(frameNB) - 1; }
    unsigned getChannelNum() const { return channelNum; }
    unsigned getFrameSize() const { return frameSize; }
    unsigned getElementSize() const { return elementSize; }
    unsigned getFrameStride() const { return channelNum * frameSize * elementSize; }
    bool isStereo() const { return getFrameStride() == 2; }
    unsigned getSampleRate() const { return sampleRate; }
    void setSampleRate(unsigned rate) { sampleRate = rate; }
    /// Places d frames of silence in front of the stream: origin -= d, no
    /// frames; the next keepMargin() produces the silence.
    void setInitialDelay(unsigned d);

    /// Address of absolute frame f; null (with a report line) below the origin,
    /// and null without a report while no array was allocated.
    double* getFrame(int f);
    SoundTools::StereoFrame<double>* getStereoFrame(int f)
    {
        return reinterpret_cast<SoundTools::StereoFrame<double>*>(getFrame(f));
    }
    /// Address of relative frame r; null (with a report line) when negative.
    double* getRelFrame(int r);
    SoundTools::StereoFrame<double>* getRelStereoFrame(int r)
    {
        return reinterpret_cast<SoundTools::StereoFrame<double>*>(getRelFrame(r));
    }

    /// Keeps the last `margin` frames at the start of the array for the next
    /// block and returns how many were kept (at least one frame is always
    /// dropped). frameNB is left for the caller to set.
    unsigned keepMargin(unsigned margin);
    /// Appends n frames of zeros behind the valid frames, growing the array
    /// (valid frames kept) when frameNBAllocated is too small.
    void appendMargin(unsigned n);

    void addBuffer(double a);
    void mulBuffer(double m);
    void normBuffer(double a, double m);

protected:
    SoundBuffer(const SoundBuffer& other);

private:
    /// Doubles covered by frameNBAllocated frames of the current geometry.
    std::size_t allocatedDoubles() const
    {
        return static_cast<std::size_t>(elementSize) * frameSize * channelNum * frameNBAllocated;
    }

    double* data = nullptr;
    uint32_t frameNB = 0;
    uint32_t frameNBAllocated = 0;
    int32_t origin = 0;
    uint32_t initialDelay = 0;
    uint32_t sampleRate = 0;
    uint32_t channelNum = 0;
    uint32_t frameSize = 0;
    uint32_t elementSize = 0;
    /// Real size of `data` in doubles. alloc() may lower frameNBAllocated
    /// while keeping a larger array; this remembers what the array can hold.
    std::size_t capacity = 0;

    static std::atomic<unsigned> sSize;
    static thread_local unsigned tScopedSize; ///< 0: no ThreadScope on this thread
};
