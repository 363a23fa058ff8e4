#include "SoundAlgoStats.h"

#include <algorithm>
#include <cmath>
#include <iomanip>

using SoundTools::StereoFrame;

SoundAlgoStats::SoundAlgoStats(OutputType type, double windowSeconds)
    : windowDuration(type == StatsOnly ? 0.0 : windowSeconds)
    , outputType(type)
{
}

SoundAlgoStats::~SoundAlgoStats() = default;

const char* SoundAlgoStats::getName() const
{
    return "SoundAlgoStats";
}

unsigned SoundAlgoStats::getInOverlap(unsigned rate) const
{
    return static_cast<unsigned>(std::max(0, SoundTools::secondsToFrames(windowDuration, rate))) | 1u;
}

unsigned SoundAlgoStats::getDelay(unsigned rate) const
{
    return static_cast<unsigned>(std::max(0, SoundTools::secondsToFrames(windowDuration, rate))) / 2;
}

SoundTools::Status SoundAlgoStats::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                               SoundAlgo* nxt)
{
    frameCount = 0;
    sumSquares = {0.0, 0.0};
    peak = {0.0, 0.0};
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

bool SoundAlgoStats::blockFrames(int& n, int& inOrigin, const StereoFrame<double>*& x, StereoFrame<double>*& y)
{
    n = static_cast<int>(getOutFrameNb());
    if (n <= 0 || inBuffers.empty() || outBuffers.empty())
        return false;
    inOrigin = getInOrigin();
    x = inBuffers[0]->getStereoFrame(inOrigin);
    y = outBuffers[0]->getStereoFrame(getOutOrigin());
    return x != nullptr && y != nullptr;
}

SoundTools::Status SoundAlgoStats::process()
{
    int n = 0;
    int inOrigin = 0;
    const StereoFrame<double>* x = nullptr;
    StereoFrame<double>* y = nullptr;
    if (!blockFrames(n, inOrigin, x, y))
        return SoundTools::StatusOk;
    const int w = static_cast<int>(getInOverlap(sampleRate));

    accumulate(x, n, inOrigin);

    if (outputType == StatsOnly) {
        std::copy(x, x + n, y);
        return SoundTools::StatusOk;
    }

    const double invW = 1.0 / w;
    double sumLeft = 0.0;
    double sumRight = 0.0;
    for (int j = 0; j < w; ++j) {
        sumLeft += x[j].left * x[j].left;
        sumRight += x[j].right * x[j].right;
    }
    for (int k = 0; k < n; ++k) {
        if (k > 0) {
            const StereoFrame<double>& f = x[k + w - 1];
            sumLeft += f.left * f.left;
            sumRight += f.right * f.right;
        }
        // Clamped: add-and-subtract rounding can leave the sums just below 0.
        y[k].left = std::sqrt(std::max(sumLeft, 0.0) * invW);
        y[k].right = std::sqrt(std::max(sumRight, 0.0) * invW);
        sumLeft -= x[k].left * x[k].left;
        sumRight -= x[k].right * x[k].right;
    }
    return SoundTools::StatusOk;
}

void SoundAlgoStats::accumulate(const StereoFrame<double>* x, int n, int firstFrame)
{
    if (outputType == RMSOnly)
        return;
    // Frames before the run's start are the silence that stands for this
    // node's delay (or a margin upstream), not material: counting them
    // would lower the RMS of short files noticeably.
    const int skip = std::min(n, std::max(0, startOffset - firstFrame));
    // Local accumulators: the compiler keeps them in registers (members
    // could alias the samples) and vectorises the loop.
    double sumLeft = sumSquares.left;
    double sumRight = sumSquares.right;
    double peakLeft = peak.left;
    double peakRight = peak.right;
    for (int k = skip; k < n; ++k) {
        const double l = x[k].left;
        const double r = x[k].right;
        peakLeft = std::max(peakLeft, std::fabs(l));
        peakRight = std::max(peakRight, std::fabs(r));
        sumLeft += l * l;
        sumRight += r * r;
    }
    sumSquares = {sumLeft, sumRight};
    peak = {peakLeft, peakRight};
    frameCount += static_cast<uint32_t>(n - skip);
}

void SoundAlgoStats::getRMS(StereoFrame<double>& out) const
{
    if (frameCount == 0)
        return;
    out.left = SoundTools::linearToDb(std::sqrt(sumSquares.left / frameCount));
    out.right = SoundTools::linearToDb(std::sqrt(sumSquares.right / frameCount));
}

void SoundAlgoStats::getMax(StereoFrame<double>& out) const
{
    out.left = SoundTools::linearToDb(peak.left);
    out.right = SoundTools::linearToDb(peak.right);
}

void SoundAlgoStats::getGlobalStats(StereoFrame<double>& rms, double& total, StereoFrame<double>& max) const
{
    if (frameCount == 0)
        return;
    getRMS(rms);
    total = SoundTools::linearToDb(std::sqrt((sumSquares.left + sumSquares.right) / (2.0 * frameCount)));
    getMax(max);
}

void SoundAlgoStats::endProcess(int status, unsigned frames)
{
    // The reader pads the end of the input with silence so that the window
    // sees its look-ahead; the frames counted past the end are those zeros.
    // They add nothing to the sums and peaks, only to the count.
    if (frameCount > frames)
        frameCount = frames;
    if (sVerbose && status == SoundTools::StatusOk && outputType != RMSOnly) {
        // With no frame counted, every figure reads as silence.
        StereoFrame<double> rms{-100.0, -100.0};
        StereoFrame<double> max{-100.0, -100.0};
        double total = -100.0;
        getGlobalStats(rms, total, max);
        getOStream() << std::fixed << std::setprecision(2) << "Stats :\n\tRMS\t= " << total
                     << " dB\n \tRMS Left\t= " << rms.left << " dB\n\tRMS Right\t= " << rms.right
                     << " dB\n\tMax Left\t= " << max.left << " dB\n\tMax Right\t= " << max.right << " dB"
                     << std::endl;
    }
    SoundAlgo::endProcess(status, frames);
}
