#include "SoundAlgoAddSqr.h"

#include <cmath>

SoundAlgoAddSqr::SoundAlgoAddSqr(int inputs, bool single, const double* w)
    : SoundAlgoAdd(inputs, single, w)
{
}

SoundAlgoAddSqr::~SoundAlgoAddSqr() = default;

SoundTools::Status SoundAlgoAddSqr::process()
{
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    if (!takeFrames())
        return SoundTools::StatusError;
    SoundTools::StereoFrame<double>* y = outFrames[0];
    for (unsigned j = 0; j < n; ++j) {
        double left = 0.0;
        double right = 0.0;
        for (int i = 0; i < inputNumber; ++i) {
            const double l = weights[i] * inFrames[i][j].left;
            const double r = weights[i] * inFrames[i][j].right;
            left += l * l;
            right += r * r;
        }
        y[j].left = std::sqrt(left);
        y[j].right = std::sqrt(right);
    }
    copyOtherInputs(n);
    return SoundTools::StatusOk;
}
