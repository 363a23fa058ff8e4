#pragma once

#include "ChainStages.h"
#include "Job.h"
#include "JobOutput.h"
#include "TagOverrides.h"

#include <string>
#include <vector>

/// Processes one file into another in one run (tevo process): the stages in
/// the order given, then the output's format, channels, range and tags.
/// Without stages it copies or converts.
class TEVO_EXPORT ProcessJob : public Job {
public:
    struct Options {
        std::string input; ///< file to read (UTF-8 path)
        /// File to write; its extension chooses the container (.wav, .wave,
        /// .flac, .ogg, .oga, .opus, .aif, .aiff, .mp3, .raw). Written in
        /// place: a host that must keep an existing file writes to a
        /// temporary name and renames on Ok.
        std::string output;
        JobOutput out;                          ///< format, channels, dither, start, range, bit rate
        TagOverrides tags;                      ///< replace the input's tags field by field
        std::vector<ChainStages::Stage> stages; ///< applied in this order
        /// "" when every stage can be built; otherwise the first one's error.
        std::string check() const;
    };

    struct Result {
        std::string output;
        unsigned sampleRate = 0;
        unsigned channels = 0;                              ///< of the file written
        SoundTools::SoundFormat format = SoundTools::PCM16; ///< asked of the writer
        uint64_t clippedSamples = 0;                        ///< clipped on the way to the file's integers
    };

    explicit ProcessJob(Options options);
    /// Refused (nothing written) on a bad stage or a start point or range
    /// past the end; Failed when the output cannot be opened or written.
    Status run() override;
    QJsonObject resultJson() const override;
    const Result& result() const { return res; }

private:
    Options options;
    Result res;
};
