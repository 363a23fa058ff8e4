#pragma once

#include "Job.h"
#include "RegionAnalysis.h"

#include <string>
#include <vector>

class RMSStepDetector;

/// The level regions and the noise of a recording (tevo regions).
///
/// A new region starts where the short-term level moves by more than
/// `stepDb` from the mean of the region so far; regions shorter than
/// `minRegionSeconds` join the one before; regions more than `noiseDb` below
/// the loudest are noise.
class TEVO_EXPORT RegionsJob : public Job {
public:
    struct Options {
        std::string input;                 ///< file to analyse (UTF-8 path)
        RegionAnalysis::Settings detector; ///< defaults: 5 dB, 5 s, -40 dB, 0.2 s
        bool estimateNoise = false;        ///< replace noiseDb by RegionAnalysis::estimateQuietest
        bool merge = false;                ///< merge consecutive regions of signal, and of noise
        /// Sets an option from text: "step" (dB > 0), "min" (seconds >= 0),
        /// "noise" (dB <= 0), "window" (seconds, 0 to 60). False with
        /// `error` set on a bad value or an unknown name.
        bool set(const std::string& name, const std::string& value, std::string& error);
    };

    struct Result {
        std::string file;
        unsigned sampleRate = 0;
        bool noiseEstimated = false;
        double estimatedNoiseDb = 0.0; ///< with estimateNoise: relative to the loudest region
        double noiseLevelDb = 0.0;     ///< the noise level the regions were marked with
        int passages = 0;              ///< runs of signal between noise
        std::vector<RegionAnalysis::Region> regions;
    };

    explicit RegionsJob(Options options);
    ~RegionsJob() override;
    /// Failed when the input cannot be opened or read (the reader's text).
    Status run() override;
    QJsonObject resultJson() const override;
    const Result& result() const { return res; }
    /// The analysed detector (null before a run), for the library's own
    /// report of the regions (printRegions).
    const RMSStepDetector* detector() const;

private:
    Options options;
    Result res;
    NodeRef node;
};
