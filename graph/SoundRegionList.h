#pragma once

#include "SoundRefCounted.h"
#include "TevoExport.h"

#include <cstdint>

/// One level region of a stream. `length` equals `count` when the region is
/// pushed and becomes the distance to the next region's start when that one
/// is pushed.
struct SoundRegion {
    int32_t start;     ///< absolute index of the first frame
    int32_t length;    ///< frames
    double powerLeft;  ///< mean window power, linear (full scale 1.0)
    double powerRight; ///< same for the right channel
    int32_t count;     ///< frames averaged into the powers; weight in merges
    bool isNoise;      ///< below the noise level (set by the noise pass)
};

/// Read access to a list of regions ordered by start, for consumers that cut
/// or scale a stream along regions found by an analysing node (the segment
/// writer in io reads the region detector of dynamics through it, so that io
/// does not depend on dynamics). Accessors may be called from other threads
/// while the list grows; implementations lock as needed.
class TEVO_EXPORT SoundRegionList {
public:
    /// Regions in the list.
    virtual int size() const = 0;
    /// Copy of region i; an index outside the list gives an empty region (all
    /// fields 0, not noise).
    virtual SoundRegion getRegion(int i) const = 0;
    /// The reference-counted object that owns the list: a consumer that keeps
    /// the list adds a reference to it and releases it when done.
    virtual SoundRefCounted& getRegionOwner() = 0;

protected:
    // Lists are owned through their reference count, never deleted through here.
    virtual ~SoundRegionList() = default;
};
