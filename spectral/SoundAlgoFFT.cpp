#include "SoundAlgoFFT.h"

#include <algorithm>
#include <cstring>

SoundAlgoFFT::SoundAlgoFFT() = default;

int SoundAlgoFFT::getOutOrigin() const
{
    return outOrigin;
}

void SoundAlgoFFT::placeOutput(int first, unsigned frames)
{
    const unsigned ov = getOutBufferOverlap(sampleRate);
    const int64_t marginStart = int64_t(first) - ov;
    for (auto& buffer : outBuffers) {
        if (!buffer)
            continue;
        const std::size_t stride = buffer->getFrameStride();
        const int64_t heldStart = buffer->getOrigin();
        const int64_t heldEnd = heldStart + buffer->getFrameNB();
        const int64_t from = std::max(marginStart, heldStart);
        const int64_t to = std::min<int64_t>(first, heldEnd);
        double* data = buffer->getFrameNBAllocated() >= ov ? buffer->getRelFrame(0) : nullptr;
        if (data != nullptr && ov > 0) {
            // Move what is held of the margin to its place at the start of
            // the array and silence the rest of it.
            if (to > from)
                std::memmove(data + std::size_t(from - marginStart) * stride,
                             data + std::size_t(from - heldStart) * stride,
                             sizeof(double) * std::size_t(to - from) * stride);
            const int64_t keptStart = to > from ? from - marginStart : ov;
            const int64_t keptEnd = to > from ? to - marginStart : ov;
            std::fill(data, data + std::size_t(keptStart) * stride, 0.0);
            std::fill(data + std::size_t(keptEnd) * stride, data + std::size_t(ov) * stride, 0.0);
        }
        buffer->setOrigin(static_cast<int>(marginStart));
        if (uint64_t(ov) + frames > buffer->getFrameNBAllocated()) {
            buffer->setFrameNB(ov);
            buffer->appendMargin(frames);
        } else {
            buffer->setFrameNB(ov + frames);
        }
    }
}
