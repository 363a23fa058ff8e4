#pragma once

#include "FilterType.h"

#include <QString>

/// Parsing of the filter options shared by `tevo process` and `tevo play`.
namespace FilterOptions {

/// One equaliser section as given on the command line.
struct EqBand {
    SoundTools::FilterType type = SoundTools::BandEq;
    double freqHz = 1000.0;
    double width = 1.0;  ///< octaves, or slope for the shelves; 0 for a Butterworth low- or high-pass
    double gainDb = 0.0; ///< peaking and shelves
};

/// Parses TYPE:FREQ[:WIDTH[:GAIN]], TYPE one of lowpass, bandpass, highpass,
/// lowshelf, peak, highshelf; FREQ in Hz (> 0), WIDTH in octaves or shelf
/// slope (> 0; default 1, but 0 for lowpass and highpass: Butterworth,
/// Q 0.707), GAIN in dB (default 0). False with `error` set to a
/// message naming the option on a bad value.
bool parseEq(const QString& text, EqBand& band, QString& error);

/// The accepted TYPE names, for help texts.
QString eqTypeNames();

} // namespace FilterOptions
