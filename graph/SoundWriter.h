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

    /// Channels of the file when they differ from the stream's: 1 makes a
    /// stereo stream into a one-channel file, each frame mixed down as
    /// (left + right) / 2. 0 (the default) keeps the stream's count. Call
    /// before open; false when the writer cannot do it.
    virtual bool setFileChannels(unsigned channels);
    /// Channels of the file written.
    unsigned getFileChannels() const { return fileChannels != 0 ? fileChannels : getChannelNum(); }
    /// Bits of the integer samples in the file; 0 for float and lossy files.
    virtual unsigned getFileBits() const { return 0; }
    /// Gain, in dB, that the writer applies to every sample on its way to the
    /// file: 0 except where an encoder needs headroom (the MP3 writer's). A
    /// host that promises a level or a peak in the file makes up for it in
    /// the stream it writes.
    virtual double getGainDb() const { return 0.0; }
    /// True when the file holds an encoder's approximation of the stream
    /// (MP3, Ogg Vorbis, Opus): its levels and peaks are known only by
    /// decoding it.
    virtual bool isLossy() const { return false; }
    /// TPDF dither (two uniform values of one step each, summed) added before
    /// samples are rounded to the file's integers. Off by default; worth it
    /// when the stream is finer than the file, e.g. 24-bit input to 16 bits.
    void setDither(bool on) { dither = on; }
    /// Samples that lay beyond full scale and were clipped on their way to
    /// the file's integers, since construction.
    uint64_t getClippedSamples() const { return clipped; }

    /// Chooses a stereo writer from the extension of the file name, in any
    /// case: .mp3; .wav .wave (WAV); .flac; .ogg .oga (Ogg Vorbis); .opus; .aif
    /// .aiff (AIFF); .raw (headerless 32-bit float). Null for a null path and
    /// for any other name. The writer is closed; the caller owns it.
    /// `mp3Quality` is the MP3 encoder's algorithm quality, 0 (best) to 9
    /// (fastest); negative takes the MP3 writer's default. Other writers
    /// ignore it.
    static SoundWriter* getFromFilename(const char* path, unsigned sampleRate, unsigned bitrate,
                                        SoundTools::SoundFormat format, int mp3Quality = -1);
    /// The writer getFromFilename gives for a name ending in `extension`
    /// (".wav", any case), whatever the file's own name, with `channels`
    /// channels. Null for an unknown extension. For nodes that write a file
    /// of their own (the limiter's diagnostics) without depending on io.
    static SoundWriter* getFromExtension(const char* extension, unsigned sampleRate, unsigned channels,
                                         unsigned bitrate, SoundTools::SoundFormat format, int mp3Quality = -1);
    /// Whether getFromFilename has a writer for this name.
    static bool isWritableName(const char* path);
    /// Whether getFromFilename makes an MP3 writer for this name.
    static bool isMp3Name(const char* path);
    /// The extensions the writer factory knows, for messages.
    static const char* writableExtensions();
    /// What getFileBits() would say of the writer getFromFilename makes for
    /// this name and format, without making one: 0 for float, lossy and raw
    /// files and for names it has no writer for.
    static unsigned fileBitsFor(const char* path, SoundTools::SoundFormat format);
    /// What getGainDb() would say of the writer getFromFilename makes for this
    /// name, without making one: 0 for names it has no writer for.
    static double gainDbFor(const char* path);

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
    unsigned fileChannels = 0;
    bool dither = false;
    uint64_t clipped = 0;
};
