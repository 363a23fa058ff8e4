#include "SoundAlgoFilterBiquad.h"

#include "BiquadEqBuilder.h"

SoundAlgoFilterBiquad::SoundAlgoFilterBiquad() = default;

SoundAlgoFilterBiquad::SoundAlgoFilterBiquad(SoundTools::FilterType type, double freq, double width, double gain)
{
    pushFilter(type, freq, width, gain);
}

SoundAlgoFilterBiquad::~SoundAlgoFilterBiquad() = default;

const char* SoundAlgoFilterBiquad::getName() const
{
    return "SoundAlgoFilterBiquad";
}

void SoundAlgoFilterBiquad::pushFilter(SoundTools::FilterType type, double freq, double width, double gain)
{
    SoundAlgoFilter::pushFilter(std::make_shared<SoundTools::BiquadEqBuilder>(type, freq, width, gain));
}

template <typename Change>
void SoundAlgoFilterBiquad::changeBand(unsigned band, Change change)
{
    // pushFilter(builder) accepts any builder, hence the class check.
    auto* builder = dynamic_cast<SoundTools::BiquadEqBuilder*>(getbuilder(band));
    if (builder == nullptr)
        return;
    change(*builder);
    // Before the first run only the builder changes; initProcess builds it.
    if (band < filters.size() && filters[band])
        initFilter(static_cast<int>(band));
}

void SoundAlgoFilterBiquad::SetFreq(unsigned band, double freq)
{
    changeBand(band, [freq](SoundTools::BiquadEqBuilder& b) { b.setFreq(freq); });
}

void SoundAlgoFilterBiquad::SetLevel(unsigned band, double gain)
{
    changeBand(band, [gain](SoundTools::BiquadEqBuilder& b) { b.setGain(gain); });
}

void SoundAlgoFilterBiquad::SetWidth(unsigned band, double width)
{
    changeBand(band, [width](SoundTools::BiquadEqBuilder& b) { b.setWidth(width); });
}
