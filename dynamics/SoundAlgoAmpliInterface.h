#pragma once

#include "TevoExport.h"

/// What every gain-controlling node offers to the player and to enclosing
/// nodes: a target level that can change while sound plays, a way to rebuild
/// the gain state, and the gain in force at a given time.
///
/// Implementations are nodes deleted through their reference count, never
/// through this interface, hence the protected non-virtual destructor.
class TEVO_EXPORT SoundAlgoAmpliInterface {
public:
    /// Sets the target level in dB; callable from another thread while the
    /// node processes.
    virtual void setLevel(double levelDb) = 0;
    /// Forgets the gain state so that it is rebuilt from the next block on.
    virtual void reset() = 0;
    /// The gain in dB that the node applies at `seconds` from the stream start.
    virtual double getLevel(double seconds) = 0;

protected:
    SoundAlgoAmpliInterface() = default;
    SoundAlgoAmpliInterface(const SoundAlgoAmpliInterface&) = default;
    SoundAlgoAmpliInterface& operator=(const SoundAlgoAmpliInterface&) = default;
    ~SoundAlgoAmpliInterface() = default;
};
