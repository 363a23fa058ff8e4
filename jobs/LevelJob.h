#pragma once

#include "Job.h"
#include "JobOutput.h"
#include "LevelStages.h"
#include "RegionAnalysis.h"
#include "StatsJob.h"
#include "TagOverrides.h"

#include <string>
#include <vector>

class RMSStepDetector;

/// Levels a recording region by region (tevo level): a first run cuts the
/// input into level regions and marks the noise; a second run brings each
/// region of signal to `levelDb` with gains that ramp from region to region,
/// noise left as it is. With a target the whole output is then brought to an
/// integrated loudness (ITU-R BS.1770, EBU R128), measured on a run of its
/// own; unless noLimit, a final limiter keeps the true peaks under the
/// ceiling, and when it takes the result more than 0.2 LU off target the
/// output is written once more with the make-up gain corrected. Level, target
/// and ceiling are those of the file: the final stage makes up for the gain
/// of the output's writer (the MP3 writer's headroom), and the figures
/// reported are the file's; a lossy file (MP3, Ogg, Opus) is decoded and
/// measured, and written once more when the encoder took it more than 0.1 LU
/// off target. Encoders add to true peaks (up to some 0.5 dB at 192 kbit/s
/// MP3), which the figures show.
class TEVO_EXPORT LevelJob : public Job {
public:
    /// Region detection, measured on four speech-like recordings levelled to
    /// -16 LUFS (bench/loudness/sweep.sh): 8 dB steps (syllables vary by
    /// +-4 dB and no longer start regions of their own) and 1 s regions keep
    /// every section within 2 LU of target.
    static constexpr double kDefaultStepDb = 8.0;
    static constexpr double kDefaultMinRegionSeconds = 1.0;
    static constexpr double kDefaultWindowSeconds = 0.2;
    /// The quietest section of the demo mix needs 22 dB; noise is marked
    /// before the gains are chosen, so a larger ceiling does not raise pauses.
    static constexpr double kDefaultMaxGainDb = 30.0;
    /// The podcast figure; broadcast delivery asks for -23.
    static constexpr double kDefaultTargetLufs = -16.0;
    /// A lossy encoder takes loudness off on its own (0.3 LU off noise-like
    /// material at 192 kbit/s MP3, as its quantiser drops small
    /// coefficients): a lossy file further than this from the target, as
    /// decoded, is written once more. Meters print one decimal.
    static constexpr double kEncoderSlackLu = 0.1;

    struct Options {
        std::string input; ///< file to level (UTF-8 path)
        /// File to write, container by extension; written in place (a host
        /// that must keep an existing file writes to a temporary name).
        std::string output;
        JobOutput out;          ///< format, channels, dither, start, range
        TagOverrides tags;      ///< replace the input's tags field by field
        double levelDb = -20.0; ///< RMS level of every region of signal, dBFS (<= 0)
        /// Region detection: step (0 to 40 dB), shortest region (0.1 to 600 s),
        /// window (0.01 to 10 s); the noise level is -40 dB unless estimated.
        RegionAnalysis::Settings detector{kDefaultStepDb, kDefaultMinRegionSeconds, -40.0, kDefaultWindowSeconds};
        double maxGainDb = kDefaultMaxGainDb; ///< largest gain of a region, dB (0 to 60)
        bool rampSet = false;
        double rampSeconds = 0.1; ///< time the gain takes between regions (0 to 60)
        int smoothing = 0;        ///< > 0: levels move 1/N of the way to the loudest first
        /// Mark as noise what lies well below the rest
        /// (RegionAnalysis::estimateBelowRest); false: only what lies 40 dB
        /// below the loudest.
        bool estimateNoise = true;
        bool compress = false;
        double compressRatio = 1.0; ///< >= 1: 1 keeps the differences, 10 and more levels all
        bool gate = false;
        double gateDb = -50.0; ///< silence passages below this, dBFS after levelling
        bool hasTarget = false;
        double targetLufs = kDefaultTargetLufs; ///< -70 to 0
        LevelStages::Options stages;            ///< final limiter, multiband levelling
        bool measureInput = true;               ///< measure the input's loudness on the first run

        /// From text: "level", "step", "min-region", "window", "max-gain",
        /// "ramp", "smoothing", "compress", "gate", "target", and the stage
        /// options of LevelStages::Options::set. False with `error` set.
        bool set(const std::string& name, const std::string& value, std::string& error);
        /// "" when the choices go together; otherwise why not.
        std::string check() const;
    };

    struct Result {
        std::string file;
        std::string output;
        unsigned sampleRate = 0;
        bool analysed = false; ///< the first run finished
        bool hasInputLoudness = false;
        StatsJob::Loudness input;
        bool noiseEstimated = false;
        RegionAnalysis::BelowRest noise;
        bool compressed = false;
        double compressionCorrectionDb = 0.0;
        int regions = 0;
        int passages = 0;
        bool levelledMeasured = false; ///< with a target: the levelling was measured
        double levelledLufs = 0.0;
        /// Make-up gains corrected after a run missed the target:
        /// {integrated loudness of that run, corrected gain}.
        std::vector<std::pair<double, double>> corrections;
        bool written = false; ///< the output is complete
        double makeupGainDb = 0.0;
        bool limited = false; ///< a final limiter ran
        uint64_t limiterFramesLowered = 0;
        /// Gain of the output's writer (SoundWriter::getGainDb), made up for
        /// before it: the figures below are those of the file.
        double writerGainDb = 0.0;
        StatsJob::Loudness result; ///< of the output
        uint64_t outputFrames = 0;
        /// For pictures: the regions, and the gain applied at each reading of
        /// the output's short-term loudness (single band only).
        std::vector<RegionAnalysis::Region> regionList;
        std::vector<double> gainDb;
    };

    explicit LevelJob(Options options);
    ~LevelJob() override;
    /// Refused (nothing read) when the choices do not go together, for a
    /// start point or range past the end, or crossovers at or above half the
    /// sample rate; Failed when the input cannot be read, the output cannot
    /// be written, or the levelled recording is silent and a target was
    /// asked. The result holds what was found up to a failure (see analysed,
    /// levelledMeasured, written).
    Status run() override;
    /// file, output, input{...}, noiseLevelDbfs, noiseLevelRelativeDb,
    /// compressionCorrectionDb, regions, passages, levelledLufs, targetLufs,
    /// makeupGainDb, limiterFramesLowered, truePeakCeilingDbtp, writerGainDb,
    /// result{...}:
    /// each when it applies.
    QJsonObject resultJson() const override;
    const Result& result() const { return res; }
    const Options& settings() const { return options; }
    /// The analysed detector (null before a run), for the library's own
    /// report of the regions (printRegions).
    const RMSStepDetector* detector() const;

private:
    Status analyse(SoundReader& reader);
    Status levelInto(SoundReader& reader);
    /// Replaces the figures but the history by those of the written file,
    /// decoded.
    Status measureWritten(StatsJob::Loudness& figures);
    std::vector<double> gainsOverTime(double step, size_t readings) const;

    Options options;
    Result res;
    NodeRef detectorNode;
};
