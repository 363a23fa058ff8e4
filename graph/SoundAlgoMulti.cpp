#include "SoundAlgoMulti.h"

#include <algorithm>
#include <cstring>

SoundAlgoMulti::SoundAlgoMulti(int inputs, bool single)
    : inputNumber(std::max(inputs, 0))
    , singleOutput(single)
    , inFrames(static_cast<std::size_t>(std::max(inputs, 0)), nullptr)
    , outFrames(single ? 1 : static_cast<std::size_t>(std::max(inputs, 0)), nullptr)
{
}

SoundAlgoMulti::~SoundAlgoMulti() = default;

unsigned SoundAlgoMulti::getInputNumber() const
{
    return static_cast<unsigned>(inputNumber);
}

unsigned SoundAlgoMulti::getOutputNumber() const
{
    return singleOutput ? 1u : static_cast<unsigned>(inputNumber);
}

bool SoundAlgoMulti::takeFrames()
{
    const int inOrigin = getInOrigin();
    const int outOrigin = getOutOrigin();
    if (inBuffers.size() < inFrames.size() || outBuffers.size() < outFrames.size()) {
        setError("process called before initProcess", getName());
        return false;
    }
    for (std::size_t i = 0; i < inFrames.size(); ++i) {
        inFrames[i] = inBuffers[i]->getStereoFrame(inOrigin);
        if (inFrames[i] == nullptr) {
            setError("an input buffer does not reach the block's first frame", getName());
            return false;
        }
    }
    for (std::size_t i = 0; i < outFrames.size(); ++i) {
        outFrames[i] = outBuffers[i]->getStereoFrame(outOrigin);
        if (outFrames[i] == nullptr) {
            setError("an output buffer does not reach the block's first frame", getName());
            return false;
        }
    }
    return true;
}

void SoundAlgoMulti::copyOtherInputs(unsigned n)
{
    for (std::size_t i = 1; i < outFrames.size(); ++i)
        std::memcpy(outFrames[i], inFrames[i], sizeof(SoundTools::StereoFrame<double>) * n);
}
