#pragma once

#include "TevoExport.h"

/// Intrusive reference count of processing nodes.
///
/// The creator holds the first reference; composites take it over, and the
/// playback device, the segment writer and the region amplifier add one for
/// the node they keep. Not atomic: nodes are created, wired and released on
/// one thread.
class TEVO_EXPORT SoundRefCounted {
public:
    SoundRefCounted() = default;
    SoundRefCounted(const SoundRefCounted&) = delete;
    SoundRefCounted& operator=(const SoundRefCounted&) = delete;

    void addReference() { ++refCount; }

    /// Drops one reference; the last one deletes the node.
    void releaseReference()
    {
        if (refCount == 1)
            delete this;
        else
            --refCount;
    }

    int getReferenceCount() const { return refCount; }

protected:
    virtual ~SoundRefCounted() = default;

private:
    int refCount = 1;
};
