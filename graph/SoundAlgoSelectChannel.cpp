#include "SoundAlgoSelectChannel.h"

#include <string>

SoundAlgoSelectChannel::SoundAlgoSelectChannel(int index, int inputs)
    : SoundAlgoMulti(inputs, true)
    , selected(index)
{
}

SoundAlgoSelectChannel::~SoundAlgoSelectChannel() = default;

const char* SoundAlgoSelectChannel::getName() const
{
    return "SoundAlgoSelectChannel";
}

SoundTools::Status SoundAlgoSelectChannel::process()
{
    return SoundTools::StatusOk;
}

unsigned SoundAlgoSelectChannel::getInOverlap(unsigned rate) const
{
    return next != nullptr ? next->getInOverlap(rate) : 0;
}

unsigned SoundAlgoSelectChannel::getOutOverlap(unsigned rate) const
{
    return previous != nullptr ? previous->getOutOverlap(rate) : 0;
}

void SoundAlgoSelectChannel::setOutOrigin()
{
}

void SoundAlgoSelectChannel::updateOutput()
{
}

SoundTools::Status SoundAlgoSelectChannel::initOutputBuffer()
{
    if (selected < 0 || selected >= inputNumber || static_cast<std::size_t>(selected) >= inBuffers.size()) {
        const std::string message = "input " + std::to_string(selected) + " selected, but the node has "
            + std::to_string(inputNumber) + " inputs";
        setError(message.c_str(), getName());
        return SoundTools::StatusError;
    }
    outBuffers[0] = inBuffers[static_cast<std::size_t>(selected)];
    return SoundTools::StatusOk;
}
