#include "SoundAlgoScale.h"

#include "SoundTools.h"

SoundAlgoScale::SoundAlgoScale(double gainDb)
    : factor(SoundTools::dbToLinear(gainDb))
{
}

SoundAlgoScale::~SoundAlgoScale() = default;

const char* SoundAlgoScale::getName() const
{
    return "SoundAlgoScale";
}

SoundTools::Status SoundAlgoScale::process()
{
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    const SoundTools::StereoFrame<double>* x = inBuffers[0]->getStereoFrame(getInOrigin());
    SoundTools::StereoFrame<double>* y = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (x == nullptr || y == nullptr) {
        setError("a buffer does not reach the block's first frame", getName());
        return SoundTools::StatusError;
    }
    const double f = factor;
    for (unsigned j = 0; j < n; ++j) {
        y[j].left = f * x[j].left;
        y[j].right = f * x[j].right;
    }
    return SoundTools::StatusOk;
}
