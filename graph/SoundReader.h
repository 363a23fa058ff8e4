#pragma once

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundIDTag.h"
#include "SoundTools.h"
#include "TevoExport.h"

#include <cstdint>
#include <memory>
#include <string>

/// Abstract source of audio: decodes a file into interleaved stereo doubles in
/// -1.0 .. 1.0, from a start point in seconds.
///
/// Calling order: open, optionally setStartPoint, rewind, stereoRead until it
/// returns 0, close. Readers own a library handle and cannot be copied.
class TEVO_EXPORT SoundReader : public SoundDebuggableClass {
public:
    SoundReader() = default;
    SoundReader(const SoundReader&) = delete;
    SoundReader& operator=(const SoundReader&) = delete;
    virtual ~SoundReader();

    virtual SoundTools::Status open(const char* path) = 0;
    virtual void close() = 0;
    /// Frames in the file as announced by its header, counted from its first
    /// frame whatever the start point (0 when unknown, e.g. a pipe). Not to be
    /// confused with SoundBuffer::getFrameNB.
    virtual unsigned getFrameNB() = 0;
    /// Hz.
    virtual unsigned getSampleRate() = 0;
    /// Moves to the start point.
    virtual void rewind() = 0;
    virtual SoundTools::SoundFormat getInputFormat() const = 0;
    /// True when at least one tag was found; the base finds none.
    virtual bool getTags(SoundIDTag& tag);
    /// True when the last read stopped short of the end the file announced
    /// (a truncated or damaged file); the error text says where and why.
    virtual bool readFailed() const;

    /// Channels of the file itself; the reader delivers stereo whatever this
    /// is (one channel doubled, channels past the second dropped).
    virtual unsigned getFileChannels() { return 2; }

    /// Chooses a reader for `path`: by the file's first bytes when they name
    /// a container (RIFF/RF64, AIFF, FLAC, Ogg, MP3 by its ID3v2 header or
    /// frame sync), else by the file name's extension, in any case: .mp3;
    /// .wav .wave .flac .ogg .oga .opus .aif .aiff; .raw (headerless 32-bit
    /// float stereo at 44100 Hz). Null for anything else. The reader is
    /// closed; the caller owns it.
    static SoundReader* getFromFilename(const char* path);
    /// The extension of the file name in `path` (from its last point, the
    /// point included), or null when the name has none. Folders do not count.
    static const char* fileExtension(const char* path);

    void setStartPoint(double seconds) { startPoint = seconds; }
    double getStartPoint() const { return startPoint; }
    /// The start point (seconds) in frames of the file, rounded to the
    /// nearest frame and clamped to 0 .. 2^31-1: where a run starts, whatever
    /// has been read since (needs the sample rate, so call it after open).
    int getStartOffset();
    /// Same as getStartOffset: positions are absolute frame indices.
    int getStartPosition() { return getStartOffset(); }
    /// Read position: frame index in the file of the next frame stereoRead
    /// delivers, counted from the file's first frame. rewind() moves it to
    /// the start position (a start beyond the end: see the concrete reader);
    /// each read advances it. A run starts here (SoundAlgo::getOffset keeps
    /// it as the run began).
    int getOffset() const { return offset; }
    /// Same as getOffset.
    int getReadPosition() const { return offset; }
    /// Seconds; 0 when the sample rate is 0.
    double getLength();
    /// hh:mm:ss.mmm ("00:00:00.000" when the sample rate is 0).
    std::string getLengthString();

    /// Fills `buffer` with the next block: keeps `margin` frames of its
    /// previous contents, reads behind them, and pads with silence at the end
    /// of the file. Returns the frames that came from the file, 0 at the end.
    unsigned stereoRead(std::shared_ptr<SoundBuffer> buffer, unsigned margin);

    /// Formats a duration in seconds as hh:mm:ss.mmm.
    static std::string formatLength(double seconds);

protected:
    /// Reads up to `frames` stereo frames into `out`; 0 at the end or closed.
    virtual unsigned read(unsigned frames, double* out) = 0;

    int32_t offset = 0;      ///< read position, frames from the file's first (see getOffset)
    double startPoint = 0.0; ///< seconds from the file's start (see getStartOffset)
};
