#pragma once

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundIDTag.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <cstdint>
#include <memory>

/// Abstract sink of a processing run.
///
/// writeBuffer takes each output block in order, skips what was already
/// written, keeps the output inside an optional frame range and checks the
/// block's sample rate and channel count before the concrete write(). Writers
/// own a library handle and cannot be copied.
class TEVO_EXPORT SoundWriter : public SoundDebuggableClass {
public:
    explicit SoundWriter(unsigned sampleRate);
    SoundWriter(const SoundWriter&) = delete;
    SoundWriter& operator=(const SoundWriter&) = delete;
    virtual ~SoundWriter();

    virtual SoundTools::Status open(const char* path) = 0;
    virtual void close() = 0;
    virtual void setTags(const SoundIDTag& tag);
    virtual unsigned getChannelNum() const;
    /// True when the last close() could not complete the file (data not
    /// flushed, header not updated); the error text says why.
    virtual bool closeFailed() const;

    /// Chooses a stereo writer from the extension: .mp3, .wav, .flac, .ogg (any
    /// case), anything else raw 32-bit float; null for a null path or a path
    /// without a point. The writer is closed; the caller owns it.
    static SoundWriter* getFromFilename(const char* path, unsigned sampleRate, unsigned bitrate,
                                        SoundTools::SoundFormat format);

    /// Writes frames [rangeStart, rangeEnd) of the input timeline only.
    void setRange(int start, int end)
    {
        rangeStart = start;
        rangeEnd = end;
    }
    int getCurrentOffset() const { return written; }
    unsigned getSampleRate() const { return sampleRate; }

    /// Writes the frames of `buffer` not written yet, except its last `margin`
    /// (provisional) frames. Returns true when writing failed.
    bool writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned margin);
    /// Writes the frames of `buffer` at positions [first, end) that were not
    /// written yet, inside the range; position p is frame p - `shift` of the
    /// input timeline (the run's compensated latency). Returns true when
    /// writing failed. The processing loop delivers its window through it.
    bool writeFrames(SoundBuffer& buffer, int64_t first, int64_t end, unsigned shift);

protected:
    /// Writes `frames` interleaved frames; returns how many were written.
    virtual unsigned write(unsigned frames, double* data) = 0;

    int32_t written = 0;
    int32_t rangeStart = 0;
    int32_t rangeEnd = 2147483647;
    uint32_t sampleRate;
};
