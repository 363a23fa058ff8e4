#include "SoundAlgoLoudness.h"

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
};

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
    // Every mode the node reports: I (integrated) is implied by LRA's gating
    // blocks, M and S by the maxima, the two peaks by their own flags. True
    // peak oversamples 4x below 96 kHz, 2x up to 192 kHz.
    ebur128_state* state = ebur128_init(2, rate,
                                        EBUR128_MODE_I | EBUR128_MODE_M | EBUR128_MODE_S
                                            | EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK);
    if (state == nullptr) {
        setError("not enough memory for the loudness meter", getName());
        return SoundTools::StatusError;
    }
    meter = new Meter{state};
    historyFrames = std::max(1u, static_cast<unsigned>(std::lround(kHopSeconds * rate)));
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
        frames += m;
        count -= m;
        sinceReading += m;
        measuredFrames += m;
        if (sinceReading < historyFrames)
            continue;
        sinceReading = 0;
        double momentary = -HUGE_VAL;
        double shortTerm = -HUGE_VAL;
        ebur128_loudness_momentary(meter->state, &momentary);
        ebur128_loudness_shortterm(meter->state, &shortTerm);
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
        double truePeakLinear = 0.0;
        for (unsigned c = 0; c < 2; ++c) {
            double v = 0.0;
            if (ebur128_sample_peak(meter->state, c, &v) == EBUR128_SUCCESS)
                peak = std::max(peak, v);
            if (ebur128_true_peak(meter->state, c, &v) == EBUR128_SUCCESS)
                truePeakLinear = std::max(truePeakLinear, v);
        }
        samplePeak = SoundTools::linearToDb(peak);
        truePeak = SoundTools::linearToDb(std::max(truePeakLinear, peak));
        // The meter keeps up to an hour of gating blocks: let it go now that
        // the figures are read.
        releaseMeter();
        std::vector<StereoFrame<double>>().swap(held);
        std::vector<double>().swap(shortTermAll);
    }
    SoundAlgo::endProcess(status, frames);
}
