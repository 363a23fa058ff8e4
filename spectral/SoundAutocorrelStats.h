#pragma once

#include "SoundAlgo.h"
#include "TevoExport.h"

#include <cstdint>
#include <list>

/// Finds, in each block of 1024 frames of its input (typically an
/// autocorrelation), the distance between the first two positive peaks of
/// the left channel and outputs a sine of that period in both channels.
///
/// A peak counts when its rising sample is above 0.01 and a negative trough
/// lies between the two peaks. A block without such a pair outputs silence
/// and restarts the sine's phase at 0; the phase otherwise carries over from
/// block to block and from run to run.
class TEVO_EXPORT SoundAutocorrelStats : public SoundAlgo {
public:
    /// A tone found in the input: where, which period, how strong.
    struct ToneDescriptor {
        int32_t position;   ///< absolute frame of the block that showed it
        float periodFrames; ///< distance between the two peaks
        double level;       ///< height of the first peak
    };

    /// `userValue` is kept for the caller and not used by processing.
    explicit SoundAutocorrelStats(int userValue);

    /// "SoundAutocorrelStats".
    const char* getName() const override;
    SoundTools::Status process() override;

    /// The tones found; nothing fills it yet, so it stays empty.
    std::list<ToneDescriptor>& GetToneList() { return tones; }
    int getUserValue() const { return userValue; }

    /// Frames per analysed block.
    static constexpr int sBlockFrames = 1024;

protected:
    ~SoundAutocorrelStats() override;

private:
    std::list<ToneDescriptor> tones;
    double phase = 0.0; ///< radians
    int userValue;
};

static_assert(sizeof(SoundAutocorrelStats::ToneDescriptor) == 16, "a tone descriptor is a 16-byte record");
