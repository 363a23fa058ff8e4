#pragma once

#include "TevoExport.h"

#include <string>
#include <vector>

/// Crossover frequencies of the band jobs (bands, level --multiband): read
/// from "F1,F2,..." and checked against the input's sample rate.
class TEVO_EXPORT Crossovers {
public:
    /// Which option the frequencies come from; the texts name it.
    enum Option { BandsOption = 0,
                  MultibandOption = 1 };

    /// Reads "F1,F2,...": Hz, above 0, strictly ascending. False with
    /// `error` set otherwise; `freqsHz` then holds what was read so far.
    static bool parse(Option option, const std::string& text, std::vector<double>& freqsHz, std::string& error);
    /// "" when every frequency lies below half of `sampleRate` (a band above
    /// it would be empty); otherwise why not.
    static std::string checkSampleRate(Option option, const std::vector<double>& freqsHz, unsigned sampleRate);
};
