#pragma once

#include "TevoExport.h"

// GCC 12 inlines `delete this` into callers holding a derived pointer and then
// warns that the base subobject is not the start of the allocation; the
// virtual destructor frees the whole object, so the warning is moot.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
#endif

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

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
