#pragma once

#include "SoundReader.h"
#include "TevoExport.h"

#include <cstdint>
#include <string>

struct mpg123_handle_struct;

/// Reader of MP3 files through libmpg123, decoded as 16-bit stereo at the
/// file's own sample rate (a mono file gives two equal channels), with its ID3
/// tags (version 2 preferred, version 1 as fallback).
///
/// The path goes to libmpg123 unchanged. The reader owns its decoder handle
/// and is not copyable.
class TEVO_EXPORT SoundReaderMp3 : public SoundReader {
public:
    /// Number of names in the ID3v1 genre table.
    static constexpr int sGenreCount = 148;

    SoundReaderMp3();
    ~SoundReaderMp3() override;

    /// libmpg123's global initialisation; calling it again is harmless.
    static void init();
    /// Name of ID3v1 genre `index`: the table's name for 0 .. 147, "Unknown"
    /// for anything else.
    static const char* getGenreName(int index);

    /// Opens `path`. Failures leave the reader closed with the path, " : " and
    /// the decoder's reason as error text ("Only 16 bits mp3 supported" when
    /// the decoder would not give 16-bit samples).
    SoundTools::Status open(const char* path) override;
    /// Releases the decoder.
    void close() override;
    /// Frames of the stream, exact: the file is scanned once at open (a
    /// length libmpg123 derives from the file size is an estimate that counts
    /// tags as audio). Counts past 2^32 - 1 read as that.
    unsigned getFrameNB() override;
    /// True when the last read met the end of the data before the end the
    /// stream's Xing/Info header announces (a file cut off); the error text
    /// says so.
    bool readFailed() const override { return shortRead; }
    /// Hz; 0 before the first open.
    unsigned getSampleRate() override;
    /// Seeks to the start point; a start point beyond the end seeks to the end
    /// (nothing more is read).
    void rewind() override;
    /// 1 for a single-channel stream, else 2 (read as stereo either way).
    unsigned getFileChannels() override { return fileChannels; }
    /// Always PCM16.
    SoundTools::SoundFormat getInputFormat() const override;
    /// Fills `tag` from the ID3v2 tag (versions 2.2 to 2.4, any text
    /// encoding; title, artist, album, year, comment, genre with numeric
    /// references to the ID3v1 table named, track from the first TRCK frame),
    /// then fills the fields still empty from the ID3v1 tag (Latin-1 fields;
    /// genre by the table; track from an ID3v1.1 tag). Texts are UTF-8.
    /// `track` keeps its value when neither tag has one. False without a tag.
    bool getTags(SoundIDTag& tag) override;

protected:
    /// Decodes up to `frames` frames; samples are scaled by 1/32768.
    unsigned read(unsigned frames, double* out) override;

private:
    mpg123_handle_struct* handle = nullptr;
    long rate = 0;
    unsigned fileChannels = 2;
    /// Decoded samples of the current MPEG frame not delivered yet: they lie
    /// in libmpg123's own buffer, valid until the next decode or seek.
    const int16_t* pending = nullptr;
    size_t pendingFrames = 0;
    std::string path;
    int64_t exactFrames = 0;    ///< scanned length, frames
    int64_t announcedMpeg = -1; ///< MPEG frames the Xing/Info header announces; -1 without one
    int64_t scannedMpeg = 0;    ///< MPEG frames found by the scan
    bool shortRead = false;
};
