#include "SoundAlgoAdd.h"

#include <algorithm>

// The loop runs at about a nanosecond per value on one thread, while waking the
// thread team costs from a few to a few hundred microseconds on a busy
// machine (measured with 2 cores under load): below 2^18 values (some 65000
// frames of 3 inputs) one thread is as fast or faster. The default block of
// 1048576 frames is far above it, the small blocks of live playback below.
const unsigned SoundAlgoAdd::sParallelMinValues = 1u << 18;

SoundAlgoAdd::SoundAlgoAdd(int inputs, bool single, const double* w)
    : SoundAlgoMulti(inputs, single)
    , weights(static_cast<std::size_t>(std::max(inputs, 0)), 1.0)
{
    if (w != nullptr)
        std::copy(w, w + weights.size(), weights.begin());
}

SoundAlgoAdd::~SoundAlgoAdd() = default;

const char* SoundAlgoAdd::getName() const
{
    return "SoundAlgoAdd";
}

SoundTools::Status SoundAlgoAdd::process()
{
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    if (!takeFrames())
        return SoundTools::StatusError;

    using Frame = SoundTools::StereoFrame<double>;
    if (inputNumber == 2 && outFrames.size() == 1 && weights[0] == 1.0 && weights[1] == 1.0) {
        const Frame* a = inFrames[0];
        const Frame* b = inFrames[1];
        Frame* y = outFrames[0];
        for (unsigned j = 0; j < n; ++j) {
            y[j].left = a[j].left + b[j].left;
            y[j].right = a[j].right + b[j].right;
        }
        return SoundTools::StatusOk;
    }

    const int inputs = inputNumber;
    const int outputs = static_cast<int>(outFrames.size());
    const Frame* const* in = inFrames.data();
    Frame* const* out = outFrames.data();
    const double* w = weights.data();
    const bool parallel = uint64_t(n) * unsigned(inputs + outputs) >= sParallelMinValues;
    const long frames = static_cast<long>(n);
#pragma omp parallel for schedule(static) if (parallel)
    for (long j = 0; j < frames; ++j) {
        double left = 0.0;
        double right = 0.0;
        for (int i = 0; i < inputs; ++i) {
            left += w[i] * in[i][j].left;
            right += w[i] * in[i][j].right;
        }
        out[0][j].left = left;
        out[0][j].right = right;
        for (int i = 1; i < outputs; ++i)
            out[i][j] = in[i][j];
    }
    return SoundTools::StatusOk;
}
