#pragma once

#include "Job.h"
#include "JobOutput.h"
#include "SoundWriterMultiFile.h"
#include "TagOverrides.h"

#include <string>
#include <vector>

/// Cuts a recording into one file per passage of signal (tevo split): a
/// first run finds the level regions and marks the noise, a second run
/// writes each passage of at least `minSeconds` into its own file, named
/// after `pattern` with a three-digit number (concert.wav gives
/// 001-concert.wav, 002-concert.wav, ...). Silences and noise between
/// passages are dropped; every file gets its part number as track tag.
class TEVO_EXPORT SplitJob : public Job {
public:
    /// A pause must last this long to end a passage: shorter regions merge
    /// into their neighbour.
    static constexpr double kRegionSeconds = 0.5;

    struct Options {
        std::string input;          ///< file to cut (UTF-8 path)
        std::string pattern;        ///< name pattern of the files; its extension chooses the container
        double minSeconds = 3.0;    ///< shortest passage that gets a file (>= 0)
        double stepDb = 5.0;        ///< level step that starts a new region (> 0)
        double noiseDb = -40.0;     ///< noise level relative to the loudest region (<= 0)
        bool estimateNoise = false; ///< replace noiseDb by RegionAnalysis::estimateQuietest
        JobOutput out;              ///< format, channels, dither, start, range, bit rate
        TagOverrides tags;          ///< replace the input's tags field by field (not the track)
        /// Where each file is written (temporary names, say) and when it is
        /// complete; not owned; null: under their own names.
        SoundWriterMultiFile::SegmentFiles* segmentFiles = nullptr;

        /// "min" (seconds >= 0), "step" (dB > 0), "noise" (dB <= 0); false
        /// with `error` set on a bad value.
        bool set(const std::string& name, const std::string& value, std::string& error);
        /// Ok when the pattern can be written: Refused for a name without a
        /// known container, Failed for a folder that does not exist.
        Status check(std::string& error) const;
    };

    struct File {
        std::string name;           ///< final name of the file
        bool lengthKnown = false;   ///< raw files carry no header to tell it
        double lengthSeconds = 0.0; ///< as the written file says
    };

    struct Result {
        std::string file;
        bool noiseEstimated = false;
        double estimatedNoiseDb = 0.0; ///< relative to the loudest region
        std::vector<File> files;
        double totalSeconds = 0.0; ///< of the files whose length is known
    };

    explicit SplitJob(Options options);
    ~SplitJob() override;
    /// Refused (nothing read) for a pattern without a known container or a
    /// start point or range past the end; Failed for a missing folder, an
    /// unreadable input or a file that cannot be written. The files written
    /// before a failure or a stop stay listed in the result; the host's
    /// SegmentFiles decides what becomes of them.
    Status run() override;
    /// file, files: [{name, lengthSeconds}], totalSeconds.
    QJsonObject resultJson() const override;
    const Result& result() const { return res; }

    /// Name of file `number` (from 1) for `pattern`; "" when the pattern has
    /// no file name to number.
    static std::string segmentName(const std::string& pattern, int number);

private:
    class Recorder;
    Options options;
    Result res;
};
