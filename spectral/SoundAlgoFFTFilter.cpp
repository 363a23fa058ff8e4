#include "SoundAlgoFFTFilter.h"

#include "RemezDesign.h"
#include "SoundFFTPlanner.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <string>

namespace {

// Ripple targets: 0.5 dB in the pass band, -60 dB in the stop band, with a
// fixed transition of 0.005 (Kaiser's estimate then gives 447 taps).
const double sDeltaPass = (1.0 - std::pow(10.0, -0.025)) * 0.5;
const double sDeltaStop = 0.001;
const double sTransition = 0.005;

} // namespace

SoundAlgoFFTFilter::SoundAlgoFFTFilter(SoundTools::FilterType t, double f1Hz, double f2Hz)
    : freq1(f1Hz)
    , freq2(f2Hz)
    , type(t)
{
}

SoundAlgoFFTFilter::~SoundAlgoFFTFilter() = default;

const char* SoundAlgoFFTFilter::getName() const
{
    return "SoundAlgoFFTFilter";
}

unsigned SoundAlgoFFTFilter::getInFrameSize() const
{
    return bins;
}

unsigned SoundAlgoFFTFilter::getOutFrameSize() const
{
    return bins;
}

unsigned SoundAlgoFFTFilter::getInElementSize() const
{
    return 2;
}

unsigned SoundAlgoFFTFilter::getOutElementSize() const
{
    return 2;
}

SoundTools::Status SoundAlgoFFTFilter::initInputBuffer()
{
    if (previous == nullptr) {
        setError("no node feeds the FFT filter", getName());
        return SoundTools::StatusError;
    }
    const std::shared_ptr<SoundBuffer> feed = previous->getOutPortNumber() > 0 ? previous->getOutPort(0) : std::shared_ptr<SoundBuffer>();
    const unsigned feedBins = feed ? feed->getFrameSize() : previous->getOutFrameSize();
    if (feedBins != bins || designRate != sampleRate || response.empty()) {
        bins = feedBins;
        if (FillFilter() != SoundTools::StatusOk)
            return SoundTools::StatusError;
    }
    return SoundAlgoFFT::initInputBuffer();
}

unsigned SoundAlgoFFTFilter::designFor(unsigned rate, unsigned spectrumBins) const
{
    if (rate == designedRate && spectrumBins == designedBins)
        return static_cast<unsigned>(designed.size());
    designedRate = rate;
    designedBins = spectrumBins;
    designed.clear();
    designError.clear();
    if (spectrumBins < 2) {
        designError = "spectra of " + std::to_string(spectrumBins) + " bins are too short to filter";
        return 0;
    }
    const unsigned size = 2 * spectrumBins - 2;
    // Kaiser's length for a transition of 0.005 is 447 taps; narrower
    // transitions (edges closer than that to 0, to each other or to half the
    // rate) take more, as many as a zero-padded half block holds.
    const SoundTools::EqualRippleSpec request = SoundTools::equalRippleRequest(
        "FFT", type, freq1, freq2, rate, sDeltaPass, sDeltaStop, sTransition, true, spectrumBins - 1,
        "a transform of " + std::to_string(size) + " frames holds " + std::to_string(spectrumBins - 1)
            + ": use a larger transform");
    const SoundTools::EqualRipplePlan design = SoundTools::planEqualRipple(request);
    if (!SoundTools::designEqualRipple(request, design, designed, designError))
        designed.clear();
    return static_cast<unsigned>(designed.size());
}

std::function<unsigned(unsigned)> SoundAlgoFFTFilter::hopRule(std::vector<const SoundAlgoFFTFilter*> filters,
                                                              unsigned size)
{
    return [filters, size](unsigned rate) {
        unsigned longest = 0;
        for (const SoundAlgoFFTFilter* filter : filters) {
            const unsigned taps = filter->designFor(rate, size / 2 + 1);
            if (taps == 0)
                return size / 2; // the run fails on that design anyway
            longest = std::max(longest, taps);
        }
        return longest > 0 ? size - longest + 1 : size / 2;
    };
}

SoundTools::Status SoundAlgoFFTFilter::FillFilter()
{
    response.clear();
    firTaps.clear();
    tapCount = 0;
    if (bins < 2) {
        setError(("spectra of " + std::to_string(bins) + " bins are too short to filter").c_str(), getName());
        return SoundTools::StatusError;
    }
    const double fs = sampleRate;
    const unsigned size = 2 * bins - 2;
    if (type < SoundTools::LowPass || type > SoundTools::HighPass) {
        qCritical() << "Unsupported FFT Eq mode :" << int(type);
        setError(("Unsupported FFT Eq mode : " + std::to_string(int(type))).c_str(), getName());
        return SoundTools::StatusError;
    }
    if (isDebug()) {
        getOStream() << "FillFilter Low Freq" << freq1 << ";" << freq1 / fs << " " << sampleRate << std::endl;
        getOStream() << "FillFilter Hi Freq" << freq2 << ";" << freq2 / fs << " " << sampleRate << std::endl;
    }

    if (designFor(sampleRate, bins) == 0) {
        setError(designError.c_str(), getName());
        return SoundTools::StatusError;
    }
    const std::vector<double>& h = designed;
    const unsigned n = static_cast<unsigned>(h.size());
    firTaps = h;
    // The taps in a zero-padded block of the transform size, so that their
    // transform is the response at the spectra's bins.
    std::vector<double> block(size, 0.0);
    std::copy(h.begin(), h.end(), block.begin());

    double* in = SoundFFTPlanner::allocArray(size);
    double* out = SoundFFTPlanner::allocArray(std::size_t(bins) * 2);
    std::copy(block.begin(), block.end(), in);
    SoundFFTPlanner::Plan plan = SoundFFTPlanner::planR2C(static_cast<int>(size), in, out);
    if (plan != nullptr) {
        SoundFFTPlanner::executeR2C(plan, in, out);
        SoundFFTPlanner::destroy(plan);
        response.assign(out, out + std::size_t(bins) * 2);
    }
    SoundFFTPlanner::freeArray(in);
    SoundFFTPlanner::freeArray(out);
    if (response.empty()) {
        setError("FFTW could not plan the transform", getName());
        firTaps.clear();
        return SoundTools::StatusError;
    }
    tapCount = n;
    designRate = sampleRate;
    return SoundTools::StatusOk;
}

void SoundAlgoFFTFilter::updateOutput()
{
    // One filtered spectrum per spectrum read, numbered the same.
    outOrigin = getInOrigin();
    placeOutput(outOrigin, getInFrameNb());
}

SoundTools::Status SoundAlgoFFTFilter::process()
{
    if (inBuffers.empty() || outBuffers.empty() || response.size() < std::size_t(bins) * 2)
        return SoundTools::StatusError;
    SoundBuffer& in = *inBuffers[0];
    SoundBuffer& out = *outBuffers[0];
    const unsigned n = getOutFrameNb();
    const unsigned channels = in.getChannelNum();
    const int inOrigin = getInOrigin();
    const double* h = response.data();
    for (unsigned s = 0; s < n; ++s) {
        const double* src = in.getFrame(inOrigin + static_cast<int>(s));
        double* dst = out.getFrame(outOrigin + static_cast<int>(s));
        for (unsigned k = 0; k < bins; ++k) {
            const double re = h[2 * k];
            const double im = h[2 * k + 1];
            for (unsigned c = 0; c < channels; ++c) {
                const std::size_t at = (std::size_t(k) * channels + c) * 2;
                const double x = src[at];
                const double y = src[at + 1];
                dst[at] = x * re - y * im;
                dst[at + 1] = re * y + im * x;
            }
        }
    }
    return SoundTools::StatusOk;
}

void SoundAlgoFFTFilter::endProcess(int status, unsigned frames)
{
    response.clear();
    response.shrink_to_fit();
    bins = 0;
    designRate = 0;
    SoundAlgoFFT::endProcess(status, frames);
}

unsigned SoundAlgoFFTFilter::getFullTapCount()
{
    // Hosts ask while their own statics are built (help texts): computed
    // here rather than from this file's constants, which may not exist yet.
    const double deltaPass = (1.0 - std::pow(10.0, -0.025)) * 0.5;
    const double deltaStop = 0.001;
    const double transition = 0.005;
    const unsigned n = static_cast<unsigned>(
        std::floor((-10.0 * std::log10(deltaPass * deltaStop) - 13.0) / (14.6 * transition) + 0.5) + 1.0);
    return n % 2 == 0 ? n + 1 : n;
}

unsigned SoundAlgoFFTFilter::getMinFullSize()
{
    // bins - 1 = size / 2 taps fit in a spectrum.
    unsigned size = 2;
    while (size / 2 < getFullTapCount())
        size *= 2;
    return size;
}
