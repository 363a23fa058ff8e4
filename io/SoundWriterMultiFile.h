#pragma once

#include "SoundRegionList.h"
#include "SoundWriter.h"
#include "TevoExport.h"

#include <string>

/// Writer that cuts its output into one file per passage of signal.
///
/// A passage is a run of consecutive regions of an RMSStepDetector that are
/// not noise. Noise regions are dropped, passages shorter than the minimum
/// duration are dropped, leading digital silence of each file is skipped, and
/// each kept passage goes to its own file, named after the path given to open
/// with a three-digit number (concert.wav → 001-concert.wav, 002-...). The
/// writer of each file comes from SoundWriter::getFromFilename, so the
/// extension chooses the container; segment files are stereo.
///
/// Positions: the frames written are taken at the stream positions
/// rangeStart + frames written, the coordinates of the detector's regions.
/// A run that starts at a start point must therefore set the range start to
/// that point (setRange(reader.getStartOffset(), ...)); then the cuts fall
/// where the regions say. The detector must have finished its analysis.
///
/// The writer holds a reference on the detector. Call close() after the run
/// so that the last file is completed and counted.
class TEVO_EXPORT SoundWriterMultiFile : public SoundWriter {
public:
    /// @param detector     regions to cut along (an RMSStepDetector); a
    ///                     reference is taken on its owner
    /// @param minDuration  shortest passage that gets a file, seconds
    /// @param sampleRate   Hz, of the input and of the files
    /// @param channels     channels of the input; segment files are stereo,
    ///                     so anything but 2 makes open fail
    /// @param bitrate      kbit/s, for MP3 segments
    /// @param format       sample format of the segment files
    SoundWriterMultiFile(SoundRegionList* detector, double minDuration, unsigned sampleRate, unsigned channels,
                         unsigned bitrate, SoundTools::SoundFormat format);
    ~SoundWriterMultiFile() override;

    /// Error text of the current segment writer while a file is open, else
    /// this writer's own.
    const char* getError() const override;
    /// Takes `path` (UTF-8) as the pattern of the segment names; no file is
    /// created yet. Fails when the path has no file name to number.
    SoundTools::Status open(const char* path) override;
    /// Completes the current segment file, if any.
    void close() override;
    /// Tags for every segment file; when any field is set, each file gets its
    /// own number as track.
    void setTags(const SoundIDTag& tag) override;
    unsigned getChannelNum() const override;
    /// The gain of the segment files' writer, once open has the pattern.
    double getGainDb() const override;
    /// Channels of every segment file (see SoundWriter::setFileChannels).
    bool setFileChannels(unsigned channels) override;

    /// Segment files closed so far.
    int GetWrittenFiles() const;
    /// True when a segment file could not be completed at its close (the
    /// error text says which); a later write then fails too.
    bool closeFailed() const override { return segmentCloseFailed; }
    /// Name of segment `number` for the path given to open ("" before open).
    std::string getSegmentName(int number) const;

    /// Lets the host choose where each segment file is written (a temporary
    /// name, say) and learn when it is complete. Not owned; null: segment
    /// files are written under their own names.
    class SegmentFiles {
    public:
        virtual ~SegmentFiles() = default;
        /// The path to write segment file `name` into.
        virtual std::string openPath(const std::string& name) = 0;
        /// The file written into `path` for `name` was closed; `complete` is
        /// false when it could not be completed.
        virtual void closed(const std::string& name, const std::string& path, bool complete) = 0;
    };
    void setSegmentFiles(SegmentFiles* files) { segmentFiles = files; }

protected:
    /// Consumes `frames` frames: drops noise and short passages, writes the
    /// rest into segment files. Returns the frames consumed, short only when a
    /// segment file could not be opened or written.
    unsigned write(unsigned frames, double* data) override;

private:
    struct PathParts {
        std::string drive;
        std::string directory;
        std::string baseName;
        std::string extension;
        std::string fullPath;
    };

    SoundTools::Status OpenSegment();
    /// Closes the current segment; false when its file could not be completed.
    bool closeSegment();
    /// Frames of the run of non-noise regions that starts with the current
    /// region, and the last frame of that run.
    int64_t runLength(int64_t* lastFrame) const;

    int regionIndex = 1;
    SoundRegion region;
    SoundWriter* segment = nullptr;
    unsigned channels;
    unsigned bitrate;
    PathParts pathParts;
    SoundRegionList* detector;
    int segmentCounter = 1;
    double minDuration;
    unsigned totalFrames = 0;
    SoundIDTag tags;
    SoundTools::SoundFormat format;
    bool hasSound = false;
    /// Frames the current segment consumed (written or skipped as leading
    /// silence); the segment's own count only sees what it was handed.
    int64_t segmentFrames = 0;
    bool segmentCloseFailed = false;
    SegmentFiles* segmentFiles = nullptr;
    std::string segmentName; ///< name of the open segment file
    std::string segmentPath; ///< where it is written
};
