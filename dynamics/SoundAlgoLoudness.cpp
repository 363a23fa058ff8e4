#include "SoundAlgoLoudness.h"

#include "TruePeakInterpolator.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstring>

using SoundTools::StereoFrame;

namespace {

// The momentary and short-term meters move in steps of 100 ms: maxima read at
// that hop are the ones a broadcast meter shows.
constexpr double kHopSeconds = 0.1;
// The frames padded behind the end of the input (the look-ahead and sample
// shift of the nodes before this one) are silence that is not part of the
// recording; a second covers every look-ahead in the library.
constexpr double kHoldSeconds = 1.0;

} // namespace

struct SoundAlgoLoudness::Meter {
    ebur128_state* state;
    /// Energies (mean square, K-weighted, channels summed) of the last 30
    /// hops, newest at (newest): the momentary and short-term loudness are
    /// their means over 4 and 30 hops. Asking the meter for those windows
    /// would sum 3 s of samples again at every hop.
    double hops[30] = {};
    unsigned newest = 0;
    /// True peak: frames not yet interpolated behind the last kTaps - 1 that
    /// the next ones need, and the largest magnitude found so far (samples
    /// included).
    std::vector<StereoFrame<double>> pending;
    double peak = 0.0;
    int phaseStep = 1; ///< 1: 4x oversampling, 2: 2x, 0: none

    void readHop(double& momentary, double& shortTerm);
    void scanTruePeak(const StereoFrame<double>* frames, unsigned count);
    void endTruePeak();
};

void SoundAlgoLoudness::Meter::readHop(double& momentary, double& shortTerm)
{
    double hop = -HUGE_VAL;
    ebur128_loudness_window(state, static_cast<unsigned long>(std::lround(kHopSeconds * 1000.0)), &hop);
    newest = (newest + 1) % 30;
    hops[newest] = std::isfinite(hop) ? std::pow(10.0, (hop + 0.691) / 10.0) : 0.0;
    double sum = 0.0;
    for (unsigned k = 0; k < 30; ++k) {
        sum += hops[(newest + 30 - k) % 30];
        if (k == 3)
            momentary = sum / 4.0;
    }
    shortTerm = sum / 30.0;
    auto loudness = [](double energy) { return energy > 0.0 ? 10.0 * std::log10(energy) - 0.691 : -HUGE_VAL; };
    momentary = loudness(momentary);
    shortTerm = loudness(shortTerm);
}

void SoundAlgoLoudness::Meter::scanTruePeak(const StereoFrame<double>* frames, unsigned count)
{
    constexpr int kTaps = TruePeakInterpolator::kTaps;
    for (unsigned i = 0; i < count; ++i)
        peak = std::max(peak, std::max(std::fabs(frames[i].left), std::fabs(frames[i].right)));
    if (phaseStep == 0)
        return;
    pending.insert(pending.end(), frames, frames + count);
    if (pending.size() < size_t(kTaps))
        return;
    const TruePeakInterpolator& interpolator = TruePeakInterpolator::get();
    const size_t positions = pending.size() - kTaps + 1;
    // Most of a recording lies well below its loudest peak: a group of
    // positions whose frames are all too small to beat the peak found so far,
    // even in the worst case the filter allows, is passed over.
    constexpr size_t kGroup = 32;
    for (size_t start = 0; start < positions; start += kGroup) {
        const size_t end = std::min(positions, start + kGroup);
        double reach = 0.0;
        for (size_t j = start; j < end + kTaps - 1; ++j)
            reach = std::max(reach, std::max(std::fabs(pending[j].left), std::fabs(pending[j].right)));
        if (reach * interpolator.gainBound() <= peak)
            continue;
        double found[kGroup];
        interpolator.between(&pending[start], end - start, found, phaseStep);
        for (size_t j = 0; j < end - start; ++j)
            peak = std::max(peak, found[j]);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(positions));
}

void SoundAlgoLoudness::Meter::endTruePeak()
{
    // The values between the last frames need the silence after them; what
    // lies between the last frame and that silence is not the recording's.
    const std::vector<StereoFrame<double>> silence(TruePeakInterpolator::kHalfTaps - 1, StereoFrame<double>{0.0, 0.0});
    scanTruePeak(silence.data(), static_cast<unsigned>(silence.size()));
}

SoundAlgoLoudness::SoundAlgoLoudness(double step)
    : historyStep(std::min(10.0, std::max(kHopSeconds, std::isfinite(step) ? step : kHopSeconds)))
{
}

SoundAlgoLoudness::~SoundAlgoLoudness()
{
    releaseMeter();
}

const char* SoundAlgoLoudness::getName() const
{
    return "SoundAlgoLoudness";
}

void SoundAlgoLoudness::releaseMeter()
{
    if (meter != nullptr) {
        ebur128_destroy(&meter->state);
        delete meter;
    }
    meter = nullptr;
}

double SoundAlgoLoudness::orNone(double lufs)
{
    // The meter answers -inf for silence (nothing passes the gates); the
    // library's dB figures use -100 for that.
    return std::isfinite(lufs) && lufs > sNoLoudness ? lufs : sNoLoudness;
}

double SoundAlgoLoudness::rangeOf(std::vector<double> readings)
{
    // Loudness range as EBU Tech 3342 defines it, over short-term readings
    // taken every 100 ms (libebur128's own takes one a second, which on short
    // files reads several LU away from meters that follow every step):
    // readings under -70 LUFS are dropped, then those 20 LU below their power
    // mean; the range runs from the 10th to the 95th percentile of the rest.
    readings.erase(std::remove_if(readings.begin(), readings.end(), [](double l) { return l < -70.0; }),
                   readings.end());
    if (readings.empty())
        return 0.0;
    double energy = 0.0;
    for (double l : readings)
        energy += std::pow(10.0, l / 10.0);
    const double gate = 10.0 * std::log10(energy / readings.size()) - 20.0;
    readings.erase(std::remove_if(readings.begin(), readings.end(), [gate](double l) { return l < gate; }),
                   readings.end());
    if (readings.size() < 2)
        return 0.0;
    std::sort(readings.begin(), readings.end());
    auto percentile = [&](double p) {
        const double at = p * (readings.size() - 1);
        const size_t below = static_cast<size_t>(std::floor(at));
        const size_t above = std::min(readings.size() - 1, below + 1);
        return readings[below] + (at - below) * (readings[above] - readings[below]);
    };
    return percentile(0.95) - percentile(0.10);
}

SoundTools::Status SoundAlgoLoudness::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                  SoundAlgo* nxt)
{
    releaseMeter();
    history.clear();
    shortTermAll.clear();
    integrated = sNoLoudness;
    loudnessRange = 0.0;
    momentaryMax = shortTermMax = truePeak = samplePeak = sNoLoudness;
    measuredFrames = seenFrames = 0;
    sinceReading = 0;
    heldStart = heldCount = 0;
    if (rate < 8000 || rate > 2822400) {
        setError("loudness can be measured from 8000 to 2822400 Hz only", getName());
        return SoundTools::StatusError;
    }
    // The meter gives the gated integrated loudness, the sample peak and the
    // energy of each 100 ms hop; the node derives the rest from those hops
    // and finds the true peak with the limiter's oversampler (4x below
    // 96 kHz, 2x up to 192 kHz, none above).
    ebur128_state* state = ebur128_init(2, rate, EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK);
    if (state == nullptr) {
        setError("not enough memory for the loudness meter", getName());
        return SoundTools::StatusError;
    }
    meter = new Meter;
    meter->state = state;
    meter->phaseStep = rate < 96000 ? 1 : rate < 192000 ? 2
                                                        : 0;
    // Frames before the first one are silence; the values between that
    // silence and the first frame are not the recording's.
    meter->pending.assign(TruePeakInterpolator::kHalfTaps - 1, StereoFrame<double>{0.0, 0.0});
    // A hop as long as the meter's own 100 ms window (whole frames, rounded
    // down as the meter does).
    historyFrames = std::max(1u, static_cast<unsigned>(rate * std::lround(kHopSeconds * 1000.0) / 1000));
    holdFrames = static_cast<unsigned>(std::lround(kHoldSeconds * rate));
    held.assign(holdFrames, StereoFrame<double>{0.0, 0.0});
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

void SoundAlgoLoudness::feed(const StereoFrame<double>* frames, unsigned count)
{
    const size_t readingsPerHistory = std::max<size_t>(1, std::lround(historyStep / kHopSeconds));
    while (count > 0 && meter != nullptr) {
        const unsigned m = std::min(count, historyFrames - sinceReading);
        // StereoFrame<double> is laid out as one interleaved stereo frame.
        ebur128_add_frames_double(meter->state, &frames->left, m);
        meter->scanTruePeak(frames, m);
        frames += m;
        count -= m;
        sinceReading += m;
        measuredFrames += m;
        if (sinceReading < historyFrames)
            continue;
        sinceReading = 0;
        double momentary = -HUGE_VAL;
        double shortTerm = -HUGE_VAL;
        meter->readHop(momentary, shortTerm);
        // The windows are full only after 400 ms and 3 s; before that the
        // meter averages in the silence it starts with, which lowers, never
        // raises, the readings: the maxima stay right.
        if (measuredFrames >= 30 * uint64_t(historyFrames) && std::isfinite(shortTerm))
            shortTermAll.push_back(shortTerm);
        momentaryMax = std::max(momentaryMax, orNone(momentary));
        shortTermMax = std::max(shortTermMax, orNone(shortTerm));
        if ((measuredFrames / historyFrames) % readingsPerHistory == 0)
            history.push_back(orNone(shortTerm));
    }
}

SoundTools::Status SoundAlgoLoudness::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0 || inBuffers.empty() || outBuffers.empty())
        return SoundTools::StatusOk;
    const int inOrigin = getInOrigin();
    const StereoFrame<double>* x = inBuffers[0]->getStereoFrame(inOrigin);
    StereoFrame<double>* y = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (x == nullptr || y == nullptr) {
        setError("a buffer does not reach the block's first frame", getName());
        return SoundTools::StatusError;
    }
    std::copy(x, x + n, y);

    // Frames before the run's start are the silence that stands for a delay
    // upstream, not material.
    const int skip = std::min(n, std::max(0, startOffset - inOrigin));
    const StereoFrame<double>* next = x + skip;
    unsigned count = static_cast<unsigned>(n - skip);
    if (lengthLimit > 0)
        count = static_cast<unsigned>(std::min<uint64_t>(count, lengthLimit - std::min(lengthLimit, seenFrames)));
    seenFrames += count;
    // The newest holdFrames frames wait in a ring until the next block or the
    // end of the run shows whether they are recording or padding.
    while (count > 0) {
        if (heldCount == holdFrames) {
            // Oldest frames go to the meter in one piece up to the ring's end.
            const size_t out = std::min<size_t>(count, holdFrames - heldStart);
            feed(&held[heldStart], static_cast<unsigned>(out));
            const size_t in = out;
            std::memcpy(&held[heldStart], next, in * sizeof(StereoFrame<double>));
            heldStart = (heldStart + in) % holdFrames;
            next += in;
            count -= static_cast<unsigned>(in);
            continue;
        }
        const size_t tail = (heldStart + heldCount) % holdFrames;
        const size_t in = std::min<size_t>({count, holdFrames - heldCount, holdFrames - tail});
        std::memcpy(&held[tail], next, in * sizeof(StereoFrame<double>));
        heldCount += in;
        next += in;
        count -= static_cast<unsigned>(in);
    }
    return SoundTools::StatusOk;
}

void SoundAlgoLoudness::endProcess(int status, unsigned frames)
{
    if (meter != nullptr) {
        // `frames` frames of the input were read; what came after them is the
        // padding that flushed the look-ahead of the graph.
        const uint64_t paddingFrames = lengthLimit == 0 && seenFrames > frames ? seenFrames - frames : 0;
        size_t keep = heldCount > paddingFrames ? heldCount - static_cast<size_t>(paddingFrames) : 0;
        while (keep > 0) {
            const size_t piece = std::min(keep, holdFrames - heldStart);
            feed(&held[heldStart], static_cast<unsigned>(piece));
            heldStart = (heldStart + piece) % holdFrames;
            keep -= piece;
        }
        heldCount = 0;
        double value = -HUGE_VAL;
        if (ebur128_loudness_global(meter->state, &value) == EBUR128_SUCCESS)
            integrated = orNone(value);
        loudnessRange = rangeOf(shortTermAll);
        double peak = 0.0;
        for (unsigned c = 0; c < 2; ++c) {
            double v = 0.0;
            if (ebur128_sample_peak(meter->state, c, &v) == EBUR128_SUCCESS)
                peak = std::max(peak, v);
        }
        meter->endTruePeak();
        samplePeak = SoundTools::linearToDb(peak);
        truePeak = SoundTools::linearToDb(std::max(meter->peak, peak));
        // The meter keeps up to an hour of gating blocks: let it go now that
        // the figures are read.
        releaseMeter();
        std::vector<StereoFrame<double>>().swap(held);
        std::vector<double>().swap(shortTermAll);
    }
    SoundAlgo::endProcess(status, frames);
}
