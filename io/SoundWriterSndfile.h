#pragma once

#include "SoundWriter.h"
#include "TevoExport.h"

#include <memory>
#include <string>
#include <vector>
#include <cstdint>

// libsndfile stays private to the library: its types are only named here.
struct sf_private_tag;
struct SF_INFO;

/// Writer of WAV, FLAC, Ogg Vorbis and headerless raw 32-bit float files.
///
/// The container is the FileType, the sample format the SoundFormat (see
/// formatCode for the pairing). Samples beyond full scale are clipped, not
/// wrapped, in integer formats. The writer owns its libsndfile handle and is
/// not copyable.
class TEVO_EXPORT SoundWriterSndfile : public SoundWriter {
public:
    /// Container of the file written.
    enum FileType {
        WAV = 0,
        RAW = 1, ///< headerless 32-bit float, host byte order
        FLAC = 2,
        OGG = 3,  ///< Ogg Vorbis, whatever the format
        OPUS = 4, ///< Ogg Opus, whatever the format (8, 12, 16, 24 or 48 kHz only)
        AIFF = 5
    };

    SoundWriterSndfile(unsigned sampleRate = 44100, unsigned channels = 2,
                       SoundTools::SoundFormat format = SoundTools::PCM16, FileType type = WAV);
    ~SoundWriterSndfile() override;

    /// libsndfile format code for a container and a sample format. FLAC holds
    /// at most 24 bits, so 32-bit and float formats become 24-bit FLAC; WAV
    /// PCM8 is unsigned 8-bit (signed in AIFF); unknown formats give 16-bit
    /// and unknown containers raw float.
    static int formatCode(FileType type, SoundTools::SoundFormat format);

    /// Creates `path` (UTF-8). On failure the error text is the path, " : "
    /// and libsndfile's reason.
    SoundTools::Status open(const char* path) override;
    /// Completes and closes the file; harmless when closed. When the final
    /// write-out fails (a full disk), the error text names the file and
    /// closeFailed() turns true.
    void close() override;
    /// Channels of the frames handed to the writer (the stream).
    unsigned getChannelNum() const override;
    /// 1 or 2: the file's channels; a one-channel file of a stereo stream
    /// holds (left + right) / 2.
    bool setFileChannels(unsigned channels) override;
    unsigned getFileBits() const override;
    /// True for Ogg Vorbis and Opus.
    bool isLossy() const override;
    /// Stores the non-empty fields as the container's own tags (Vorbis
    /// comments in FLAC, Ogg and Opus, LIST/INFO in WAV, AIFF's text chunks;
    /// see SoundSndfileTags); raw files hold none. Texts are UTF-8. Call after
    /// open, before the first frames; does nothing while closed.
    void setTags(const SoundIDTag& tag) override;
    /// Reads the tags back from the open file into `tag`; fields without a
    /// string keep their value. True when one was found.
    bool getTags(SoundIDTag& tag);
    /// True when the last close could not complete the file.
    bool closeFailed() const override { return lastCloseFailed; }
    /// Cuts the open file to its first `frames` frames (those written past
    /// them are dropped); false when the file is not open or libsndfile
    /// refuses.
    bool truncate(int64_t frames);

protected:
    /// Writes `frames` interleaved frames of getChannelNum() channels. A short
    /// count means failure; the error text then names the file.
    unsigned write(unsigned frames, double* data) override;

private:
    sf_private_tag* handle = nullptr;
    std::unique_ptr<SF_INFO> info;
    /// Writes up to `frames` stream frames, mixed down when the file has
    /// fewer channels and rounded here (dither, clip count) for integer
    /// files; returns the frames libsndfile took.
    int64_t writeChunk(int64_t frames, const double* data);

    std::string path;
    bool lastCloseFailed = false;
    unsigned streamChannels;
    std::vector<double> mixed;
    std::vector<int16_t> shorts;
    std::vector<int32_t> ints;
    uint64_t noise = 0x9E3779B97F4A7C15ull;
};
