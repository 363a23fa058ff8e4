#pragma once

#include "TevoExport.h"

/// What a node tells the loop when its declared delay (getDelay) is not where
/// its output really lies.
///
/// Units: frames of the stream at the run's sample rate.
///
/// - Lag: an impulse at input position t comes out at output position
///   t + lag. For a plain node the lag is its declared delay; a node whose
///   window is centred on its output (a linear-phase FIR, a running mean)
///   lags 0 although it declares half its window as delay; a node that
///   carries its output in internal state (overlap-add, a look-ahead) may lag
///   more than it declares.
/// - Intended delay: the part of the lag that is the node's purpose (a delay
///   line). It stays in the output, which starts with that much silence and is
///   longer by as much. The rest of the lag is processing latency: the loop
///   drops it from the front and flushes it at the end, so that the output
///   lines up with the input frame for frame.
///
/// Nodes are deleted through their reference count, never through this
/// interface, hence the protected non-virtual destructor.
class TEVO_EXPORT SoundAlgoLatencyInterface {
public:
    /// Real lag of the output behind the input, frames.
    virtual unsigned getOutputLag(unsigned sampleRate) const = 0;
    /// Part of getOutputLag that is intended and kept, frames.
    virtual unsigned getIntendedDelay(unsigned sampleRate) const { return (void)sampleRate, 0u; }

protected:
    SoundAlgoLatencyInterface() = default;
    SoundAlgoLatencyInterface(const SoundAlgoLatencyInterface&) = default;
    SoundAlgoLatencyInterface& operator=(const SoundAlgoLatencyInterface&) = default;
    ~SoundAlgoLatencyInterface() = default;
};
