#pragma once

#include "FilterType.h"
#include "SoundAlgoFilter.h"

/// A cascade of equaliser sections (BiquadEqBuilder) whose bands can be
/// changed while sound plays.
///
/// The band setters change one parameter of one stage and, once a run has
/// built the kernels, redesign that stage at once (its delay line restarts
/// from zero; the other stages keep their state). Call them between blocks:
/// the node has no lock of its own, the playback device's graph lock keeps
/// process() out while a setter runs.
class TEVO_EXPORT SoundAlgoFilterBiquad : public SoundAlgoFilter {
public:
    SoundAlgoFilterBiquad();
    /// One stage, as pushFilter(type, freq, width, gain).
    SoundAlgoFilterBiquad(SoundTools::FilterType type, double freq, double width, double gain);

    const char* getName() const override;

    using SoundAlgoFilter::pushFilter;
    /// Appends a section: frequency in Hz, width in octaves (pass filters and
    /// peaking) or shelf slope, gain in dB (peaking and shelves).
    void pushFilter(SoundTools::FilterType type, double freq, double width, double gain);

    /// Frequency of stage `band` in Hz. A band without a stage, or a stage that
    /// is not an equaliser section, is ignored. Any value is safe: the design
    /// keeps the section finite and stable.
    void SetFreq(unsigned band, double freq);
    /// Gain of stage `band` in dB (peaking and shelves).
    void SetLevel(unsigned band, double gain);
    /// Width of stage `band`: octaves, or slope for the shelves.
    void SetWidth(unsigned band, double width);

protected:
    ~SoundAlgoFilterBiquad() override;

private:
    template <typename Change>
    void changeBand(unsigned band, Change change);
};
