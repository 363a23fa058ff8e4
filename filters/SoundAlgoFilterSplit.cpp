#include "SoundAlgoFilterSplit.h"

SoundAlgoFilterSplit::SoundAlgoFilterSplit() = default;

SoundAlgoFilterSplit::SoundAlgoFilterSplit(std::shared_ptr<SoundTools::FilterBuilder> builder)
    : SoundAlgoFilter(std::move(builder))
{
}

SoundAlgoFilterSplit::~SoundAlgoFilterSplit() = default;

const char* SoundAlgoFilterSplit::getName() const
{
    return "SoundAlgoFilterSplit";
}

unsigned SoundAlgoFilterSplit::getOutputNumber() const
{
    return 2;
}

SoundTools::Status SoundAlgoFilterSplit::process()
{
    const SoundTools::Status status = SoundAlgoFilter::process();
    if (status != SoundTools::StatusOk)
        return status;
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    const double g = getFilterGain();
    const int outOrigin = getOutOrigin();
    const double* in = inBuffers[0]->getFrame(getInOrigin());
    const double* low = outBuffers[0]->getFrame(outOrigin);
    double* high = outBuffers[1]->getFrame(outOrigin);
    if (in == nullptr || low == nullptr || high == nullptr)
        return SoundTools::StatusError;
    for (unsigned i = 0; i < 2 * n; ++i)
        high[i] = in[i] * g - low[i];
    return SoundTools::StatusOk;
}
