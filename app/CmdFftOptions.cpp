// Spectral and FIR stages of `tevo process`: --fir (direct convolution with
// an equiripple FIR) and --fft-eq (the same kind of filter applied by FFT
// overlap-add).

#include "AppCommon.h"
#include "CommandRegistry.h"

#include "FilterType.h"
#include "SoundAlgoEqFFT.h"
#include "SoundAlgoEqFIR.h"
#include "SoundAlgoFFTFilter.h"

#include <QStringList>

using namespace AppCommon;

namespace {

/// Transform size of --fft-eq without SIZE: the filter fits in half of it
/// with room to spare, and larger transforms cost more per frame. The
/// smallest size is the filter's (SoundAlgoFFTFilter::getMinFullSize()).
constexpr unsigned kDefaultFftSize = 4096;
constexpr unsigned kMaxFftSize = 1u << 22;

struct BandRequest {
    SoundTools::FilterType type = SoundTools::LowPass;
    double freq1 = 0;
    double freq2 = 0;
    QStringList rest; ///< fields after the frequencies
};

const char* kTypes = "lowpass, bandpass, bandstop, highpass";

/// TYPE:F1[:F2]...: the type, its frequencies (two for the band types, the
/// second above the first) and whatever follows them.
bool parseBandRequest(const QString& option, const QString& value, BandRequest& request, QString& error)
{
    const QStringList parts = value.split(':');
    const QString type = parts.value(0).trimmed().toLower();
    bool band = false;
    if (type == "lowpass")
        request.type = SoundTools::LowPass;
    else if (type == "highpass")
        request.type = SoundTools::HighPass;
    else if (type == "bandpass")
        request.type = SoundTools::BandPass, band = true;
    else if (type == "bandstop")
        request.type = SoundTools::BandStop, band = true;
    else {
        error = QString("--%1: unknown filter type '%2' (%3)").arg(option, parts.value(0), kTypes);
        return false;
    }
    const int frequencies = band ? 2 : 1;
    if (parts.size() < 1 + frequencies || !toNumber(parts[1], request.freq1) || request.freq1 <= 0) {
        error = QString("--%1 needs %2 with a frequency in Hz above 0, not '%3'")
                    .arg(option, band ? type + ":F1:F2" : type + ":F1", value);
        return false;
    }
    if (band && (!toNumber(parts[2], request.freq2) || request.freq2 <= request.freq1)) {
        error = QString("--%1 %2 needs F2 above F1, in Hz, not '%3'").arg(option, type, value);
        return false;
    }
    request.rest = parts.mid(1 + frequencies);
    return true;
}

const bool firOption = CommandRegistry::addChainOption(
    {"fir", "TYPE:F1[:F2]",
     QString("Linear-phase FIR filter by direct convolution: TYPE one of %1; F1 the cut-off (or lower edge) "
             "in Hz, F2 the upper edge of bandpass and bandstop. The lower F1, the longer the filter "
             "(lowpass:1000 has 35 taps, highpass:100 1363, at most 32768); a filter that cannot meet its "
             "0.5 dB pass and -40 dB stop bands is refused with the reason.")
         .arg(kTypes),
     [](const QString& value, QString& error) -> SoundAlgo* {
         BandRequest request;
         if (!parseBandRequest("fir", value, request, error))
             return nullptr;
         if (!request.rest.isEmpty()) {
             error = QString("--fir takes TYPE:F1[:F2] only, not '%1'").arg(value);
             return nullptr;
         }
         return new SoundAlgoEqFIR(request.type, request.freq1, request.freq2);
     }});

const bool fftEqOption = CommandRegistry::addChainOption(
    {"fft-eq", "TYPE:F1[:F2][:SIZE]",
     QString("Linear-phase FIR filter (-60 dB stop band) applied by FFT: TYPE one of %1; F1, F2 "
             "as for --fir; SIZE the transform size in frames, even, from %2 (default %3). The filter has %4 "
             "taps, more when edges below 110 Hz or close together need narrower transitions, at most SIZE/2; "
             "a filter that does not fit or cannot meet its bands is refused with the reason.")
         .arg(kTypes)
         .arg(SoundAlgoFFTFilter::getMinFullSize())
         .arg(kDefaultFftSize)
         .arg(SoundAlgoFFTFilter::getFullTapCount()),
     [](const QString& value, QString& error) -> SoundAlgo* {
         BandRequest request;
         if (!parseBandRequest("fft-eq", value, request, error))
             return nullptr;
         double size = kDefaultFftSize;
         if (request.rest.size() > 1
             || (request.rest.size() == 1
                 && (!toNumber(request.rest[0], size) || size != double(long(size)) || long(size) % 2 != 0
                     || size < SoundAlgoFFTFilter::getMinFullSize() || size > kMaxFftSize))) {
             error = QString("--fft-eq: SIZE must be an even number of frames from %1 to %2, in '%3'")
                         .arg(SoundAlgoFFTFilter::getMinFullSize())
                         .arg(kMaxFftSize)
                         .arg(value);
             return nullptr;
         }
         return new SoundAlgoEqFFT(request.type, request.freq1, request.freq2, static_cast<unsigned>(size));
     }});

} // namespace
