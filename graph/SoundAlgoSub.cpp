#include "SoundAlgoSub.h"

SoundAlgoSub::SoundAlgoSub(int inputs, bool single)
    : SoundAlgoMulti(inputs, single)
{
}

SoundAlgoSub::~SoundAlgoSub() = default;

const char* SoundAlgoSub::getName() const
{
    return "SoundAlgoSub";
}

SoundTools::Status SoundAlgoSub::process()
{
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    if (!takeFrames())
        return SoundTools::StatusError;
    SoundTools::StereoFrame<double>* y = outFrames[0];
    if (inputNumber == 2 && outFrames.size() == 1) {
        const SoundTools::StereoFrame<double>* a = inFrames[0];
        const SoundTools::StereoFrame<double>* b = inFrames[1];
        for (unsigned j = 0; j < n; ++j) {
            y[j].left = a[j].left - b[j].left;
            y[j].right = a[j].right - b[j].right;
        }
        return SoundTools::StatusOk;
    }
    for (unsigned j = 0; j < n; ++j) {
        double left = inputNumber > 0 ? inFrames[0][j].left : 0.0;
        double right = inputNumber > 0 ? inFrames[0][j].right : 0.0;
        for (int i = 1; i < inputNumber; ++i) {
            left -= inFrames[i][j].left;
            right -= inFrames[i][j].right;
        }
        y[j].left = left;
        y[j].right = right;
    }
    copyOtherInputs(n);
    return SoundTools::StatusOk;
}
