#pragma once

#include "Crossovers.h"
#include "Job.h"
#include "StatsJob.h"

#include <string>
#include <vector>

/// RMS and peak level of each frequency band of a recording (tevo bands):
/// the input is split at the crossover frequencies by FFT filters with
/// -60 dB stop bands, and each band measured over the whole file.
class TEVO_EXPORT BandsJob : public Job {
public:
    struct Options {
        std::string input;                ///< file to measure (UTF-8 path)
        std::vector<double> crossoversHz; ///< ascending, above 0, below half the sample rate; required
        /// "crossovers" from "F1,F2,..."; false with `error` set.
        bool set(const std::string& name, const std::string& value, std::string& error);
        /// "" when the options allow a run (crossovers given); otherwise why not.
        std::string check() const;
    };

    struct Band {
        double fromHz = 0.0;
        double toHz = 0.0; ///< the last band ends at half the sample rate
        StatsJob::Levels levels;
    };

    struct Result {
        std::string file;
        std::vector<Band> bands; ///< one more than the crossovers, low to high
    };

    explicit BandsJob(Options options);
    /// Refused without crossovers, or with one at or above half the sample rate.
    Status run() override;
    /// file, and bands: [{fromHz, toHz, rmsDb, rmsLeftDb, rmsRightDb, peakLeftDb, peakRightDb}].
    QJsonObject resultJson() const override;
    const Result& result() const { return res; }

private:
    Options options;
    Result res;
};
