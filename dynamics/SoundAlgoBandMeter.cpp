#include "SoundAlgoBandMeter.h"

#include <algorithm>
#include <cmath>

using SoundTools::StereoFrame;

SoundAlgoBandMeter::SoundAlgoBandMeter(double windowDuration)
    : SoundAlgoStats(RMSAndStats, windowDuration)
{
}

SoundAlgoBandMeter::~SoundAlgoBandMeter() = default;

unsigned SoundAlgoBandMeter::getDelay(unsigned) const
{
    return 0;
}

unsigned SoundAlgoBandMeter::getInOverlap(unsigned) const
{
    return 1;
}

unsigned SoundAlgoBandMeter::getOutputLag(unsigned rate) const
{
    // What SoundAlgoStats declares as delay is half its window: here the
    // window ends at the output frame, so its centre lags by as much.
    return SoundAlgoStats::getDelay(rate);
}

SoundTools::Status SoundAlgoBandMeter::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                   SoundAlgo* nxt)
{
    // The silence before the stream fills the first window, as the delay
    // silence of SoundAlgoStats does.
    squares.assign(SoundAlgoStats::getInOverlap(rate), StereoFrame<double>{0.0, 0.0});
    oldest = 0;
    return SoundAlgoStats::initProcess(rate, channels, offset, prev, nxt);
}

void SoundAlgoBandMeter::endProcess(int status, unsigned frames)
{
    squares = {};
    oldest = 0;
    SoundAlgoStats::endProcess(status, frames);
}

SoundTools::Status SoundAlgoBandMeter::process()
{
    int n = 0;
    int inOrigin = 0;
    const StereoFrame<double>* x = nullptr;
    StereoFrame<double>* y = nullptr;
    if (squares.empty() || !blockFrames(n, inOrigin, x, y))
        return SoundTools::StatusOk;

    accumulate(x, n, inOrigin);

    // The window sums start afresh in every block, as in SoundAlgoStats: the
    // rounding of adding and subtracting does not build up over a long run.
    double sumLeft = 0.0;
    double sumRight = 0.0;
    for (const StereoFrame<double>& s : squares) {
        sumLeft += s.left;
        sumRight += s.right;
    }
    const std::size_t w = squares.size();
    const double invW = 1.0 / static_cast<double>(w);
    for (int k = 0; k < n; ++k) {
        const StereoFrame<double> square{x[k].left * x[k].left, x[k].right * x[k].right};
        sumLeft += square.left - squares[oldest].left;
        sumRight += square.right - squares[oldest].right;
        squares[oldest] = square;
        if (++oldest == w)
            oldest = 0;
        // Clamped: add-and-subtract rounding can leave the sums just below 0.
        y[k].left = std::sqrt(std::max(sumLeft, 0.0) * invW);
        y[k].right = std::sqrt(std::max(sumRight, 0.0) * invW);
    }
    return SoundTools::StatusOk;
}
