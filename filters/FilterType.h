#pragma once

namespace SoundTools {

/// Kind of a filter. The numbers cross the interface (builders and equaliser
/// nodes store and compare them as ints), so they are fixed.
///
/// Which designs accept which kind: the biquad builder takes every kind but
/// BandStop; the first-order builder only LowPass and HighPass; the FIR and
/// FFT equalisers LowPass, BandPass, BandStop and HighPass.
enum FilterType {
    LowPass = 0,  ///< pass below the frequency
    BandPass = 1, ///< pass between two frequencies (biquad: around one)
    BandStop = 2, ///< stop between two frequencies
    HighPass = 3, ///< pass above the frequency
    LowShelf = 4, ///< boost or cut below the frequency
    BandEq = 5,   ///< boost or cut around the frequency (peaking)
    HighShelf = 6 ///< boost or cut above the frequency
};

} // namespace SoundTools
