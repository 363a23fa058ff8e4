#pragma once

#include "SoundAlgoMulti.h"
#include "TevoExport.h"

/// Forwards one of its inputs, without copying: its output port is the very
/// buffer of the selected input, and it costs nothing per block.
///
/// Because its consumer reads that buffer directly, the node reports the in
/// overlap of its `next` (so the node that fills the buffer keeps the margin
/// the consumer needs) and the out overlap of its `previous` (so the provisional
/// tail of the buffer stays provisional for the consumer).
class TEVO_EXPORT SoundAlgoSelectChannel : public SoundAlgoMulti {
public:
    /// `selected`: the input to forward, 0 to inputNumber - 1; an index outside
    /// that range makes initProcess fail with an error text.
    SoundAlgoSelectChannel(int selected, int inputNumber);
    ~SoundAlgoSelectChannel() override;

    const char* getName() const override;
    /// Nothing to do: the consumer reads the selected input. Returns 0.
    SoundTools::Status process() override;

    /// next's in overlap (0 without a next).
    unsigned getInOverlap(unsigned sampleRate) const override;
    /// previous's out overlap (0 without a previous).
    unsigned getOutOverlap(unsigned sampleRate) const override;

    void setOutOrigin() override;
    void updateOutput() override;

    int getSelected() const { return selected; }

protected:
    SoundTools::Status initOutputBuffer() override;

    int32_t selected;
};
