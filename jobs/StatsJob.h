#pragma once

#include "Job.h"

#include <string>
#include <vector>

class SoundAlgoLoudness;
class SoundAlgoStats;

/// Whole-file figures of a recording (tevo stats): RMS and peak level of
/// each channel, and its loudness as broadcasters measure it (ITU-R
/// BS.1770-4, EBU R128).
class TEVO_EXPORT StatsJob : public Job {
public:
    struct Options {
        std::string input;    ///< file to measure (UTF-8 path)
        bool loudness = true; ///< false: RMS and peak only (a faster pass)
    };

    /// RMS and peak levels, dB relative to full scale; -100 dB stands for
    /// digital silence.
    struct Levels {
        double rmsDb = -100.0; ///< both channels together
        double rmsLeftDb = -100.0;
        double rmsRightDb = -100.0;
        double peakLeftDb = -100.0;
        double peakRightDb = -100.0;
    };

    /// Loudness figures; SoundAlgoLoudness::sNoLoudness where there is none.
    struct Loudness {
        double integratedLufs = 0.0;
        double loudnessRangeLu = 0.0;
        double momentaryMaxLufs = 0.0; ///< 400 ms windows
        double shortTermMaxLufs = 0.0; ///< 3 s windows
        double truePeakDbtp = 0.0;     ///< 4x oversampled
        double samplePeakDbfs = 0.0;
        std::vector<double> shortTermHistory; ///< LUFS, one reading per historyStepSeconds
        double historyStepSeconds = 0.1;

        static Loudness of(const SoundAlgoLoudness& meter);
        /// The figures of the same stream scaled by `gainDb` (the loudness
        /// range does not change; figures that do not exist stay so). Exact
        /// but for the meter's absolute gate at -70 LUFS, which the scaled
        /// stream would meet a little earlier or later.
        Loudness withGain(double gainDb) const;
        /// integratedLufs, loudnessRangeLu and truePeakDbtp (`full`: all figures).
        QJsonObject toJson(bool full) const;
    };

    struct Result {
        std::string file;
        double lengthSeconds = 0.0; ///< of the file, as its header says
        Levels levels;
        bool hasLoudness = false;
        Loudness loudness;
    };

    explicit StatsJob(Options options);
    /// Failed when the input cannot be opened or read (the reader's text).
    Status run() override;
    /// file, rmsDb, rmsLeftDb, rmsRightDb, peakLeftDb, peakRightDb and, with
    /// loudness, integratedLufs, loudnessRangeLu, momentaryMaxLufs,
    /// shortTermMaxLufs, truePeakDbtp, samplePeakDbfs.
    QJsonObject resultJson() const override;
    const Result& result() const { return res; }

    /// The whole-file levels of a finished SoundAlgoStats (StatsOnly) run.
    static Levels levelsOf(const SoundAlgoStats& stats);

private:
    Options options;
    Result res;
};
