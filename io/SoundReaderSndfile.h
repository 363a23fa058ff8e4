#pragma once

#include "SoundReader.h"
#include "TevoExport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// libsndfile stays private to the library: its types are only named here.
struct sf_private_tag;
struct SF_INFO;

/// Reader of WAV, FLAC and Ogg files (any format libsndfile opens) as stereo
/// doubles in -1.0 .. 1.0.
///
/// A mono file gives the same sample on both channels; a file of three or more
/// channels gives its first two. The reader owns its libsndfile handle and is
/// not copyable.
class TEVO_EXPORT SoundReaderSndfile : public SoundReader {
public:
    SoundReaderSndfile();
    ~SoundReaderSndfile() override;

    /// Opens `path` (UTF-8). On failure the reader stays closed and the error
    /// text is the path, " : " and the reason; a WAV file whose data chunk
    /// announces more bytes than the file holds (a cut copy) is refused too.
    SoundTools::Status open(const char* path) override;
    /// Closes the file; harmless when closed.
    void close() override;
    /// Frames in the file (low 32 bits).
    unsigned getFrameNB() override;
    /// Hz.
    unsigned getSampleRate() override;
    /// Seeks to the start point; a start point at or beyond the last frame
    /// starts from frame 0.
    void rewind() override;
    /// Sample format of the file (PCM16 for compressed kinds).
    SoundTools::SoundFormat getInputFormat() const override;
    /// Fills `tag` from the file's text tags (Vorbis comments of FLAC, Ogg
    /// Vorbis and Opus, LIST/INFO of WAV, AIFF's text chunks), as UTF-8
    /// (texts that are not UTF-8 are taken as Latin-1); fields the file lacks
    /// keep their value. False when the file has none or the reader is closed.
    bool getTags(SoundIDTag& tag) override;
    bool readFailed() const override { return shortRead; }
    /// True when a FLAC file does not announce its length (a stream written
    /// to a pipe); getFrameNB() then reads 0 and a run reads to the end.
    bool lengthUnknown() const;
    unsigned getFileChannels() override;
    /// Reads the next files opened as headerless 32-bit float (host byte
    /// order) with this rate and channel count, as the raw writer makes them.
    void setRawFormat(unsigned sampleRate, unsigned channels);

protected:
    /// Reads up to `frames` frames as stereo. The error text becomes
    /// libsndfile's message for the handle after each read; a decoding failure
    /// (a FLAC or Ogg stream cut short) puts the path in front of it.
    unsigned read(unsigned frames, double* out) override;

private:
    sf_private_tag* handle = nullptr;
    std::unique_ptr<SF_INFO> info;
    std::string path;
    /// A read delivered less than the file announced before its end.
    bool shortRead = false;
    unsigned rawRate = 0;
    unsigned rawChannels = 0;
    /// How samples leave libsndfile: integer files as integers (16-bit ones
    /// straight from the file, without libsndfile's own conversion buffer),
    /// converted here; everything else as doubles.
    enum class Sample { Short,
                        Int,
                        Double };
    Sample sampleKind = Sample::Double;
    /// Interleaved file frames of one chunk (a bounded count, whatever the
    /// block), allocated once per reader.
    std::vector<double> convert;
    std::vector<int16_t> shorts;
    std::vector<int32_t> ints;
    template <typename T>
    int64_t readChunks(unsigned frames, double* out, std::vector<T>& chunk, double scale);
};
