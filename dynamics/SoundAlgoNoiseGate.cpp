#include "SoundAlgoNoiseGate.h"

#include <algorithm>
#include <cmath>

using SoundTools::StereoFrame;

SoundAlgoNoiseGate::SoundAlgoNoiseGate(double thresholdDb, double fadeSeconds, double windowSeconds)
    : fadeDuration(fadeSeconds)
    , windowDuration(windowSeconds)
    , threshold(SoundTools::dbToLinear(thresholdDb))
{
}

SoundAlgoNoiseGate::~SoundAlgoNoiseGate() = default;

const char* SoundAlgoNoiseGate::getName() const
{
    return "SoundAlgoNoiseGate";
}

void SoundAlgoNoiseGate::SetThreshold(double thresholdDb)
{
    threshold = SoundTools::dbToLinear(thresholdDb);
}

unsigned SoundAlgoNoiseGate::getInOverlap(unsigned rate) const
{
    // Odd, so that the window has a centre frame.
    return static_cast<unsigned>(std::max(0, SoundTools::secondsToFrames(windowDuration, rate))) | 1u;
}

unsigned SoundAlgoNoiseGate::getSampleShift(unsigned rate) const
{
    return getInOverlap(rate);
}

unsigned SoundAlgoNoiseGate::getDelay(unsigned rate) const
{
    return static_cast<unsigned>(std::max(0, SoundTools::secondsToFrames(windowDuration, rate))) / 2;
}

SoundTools::Status SoundAlgoNoiseGate::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                   SoundAlgo* nxt)
{
    gateGain = 1.0;
    // A fade of 0 frames gives an infinite step: the gate closes at once.
    fadeStep = 1.0 / SoundTools::secondsToFrames(fadeDuration, rate);
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

SoundTools::Status SoundAlgoNoiseGate::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0 || inBuffers.empty() || outBuffers.empty())
        return SoundTools::StatusOk;
    const int w = static_cast<int>(getInOverlap(sampleRate));
    const StereoFrame<double>* x = inBuffers[0]->getStereoFrame(getInOrigin());
    StereoFrame<double>* y = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (x == nullptr || y == nullptr)
        return SoundTools::StatusOk;

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
        // The running sums can end a few ulps below 0 after loud audio
        // followed by digital silence; the square root would give NaN.
        const double rms = std::sqrt(std::max(std::max(sumLeft, sumRight), 0.0) * invW);
        const double limit = threshold;
        if (rms >= limit) {
            gateGain = 1.0;
        } else {
            gateGain -= fadeStep;
            if (gateGain < 0.0)
                gateGain = 0.0;
        }
        y[k].left = x[k].left * gateGain;
        y[k].right = x[k].right * gateGain;
        sumLeft -= x[k].left * x[k].left;
        sumRight -= x[k].right * x[k].right;
    }
    return SoundTools::StatusOk;
}
