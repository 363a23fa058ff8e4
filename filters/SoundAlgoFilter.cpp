#include "SoundAlgoFilter.h"

#include "BiquadFilter.h"

#include <cmath>
#include <typeinfo>

SoundAlgoFilter::SoundAlgoFilter() = default;

SoundAlgoFilter::SoundAlgoFilter(std::shared_ptr<SoundTools::FilterBuilder> builder)
{
    pushFilter(std::move(builder));
}

SoundAlgoFilter::~SoundAlgoFilter() = default;

const char* SoundAlgoFilter::getName() const
{
    return "SoundAlgoFilter";
}

void SoundAlgoFilter::pushFilter(std::shared_ptr<SoundTools::FilterBuilder> builder)
{
    if (builder)
        builders.push_back(std::move(builder));
}

SoundTools::FilterBuilder* SoundAlgoFilter::getbuilder(unsigned i)
{
    return i < builders.size() ? builders[i].get() : nullptr;
}

double SoundAlgoFilter::getFilterGain()
{
    return filters.empty() || !filters.back() ? 1.0 : filters.back()->getGain();
}

SoundTools::Status SoundAlgoFilter::initProcess(unsigned rate, unsigned channels, int offset, SoundAlgo* prev,
                                                SoundAlgo* nxt)
{
    if (builders.empty()) {
        setError("no filter stage", getName());
        return SoundTools::StatusError;
    }
    filters.resize(builders.size());
    sampleRate = rate;
    for (std::size_t i = 0; i < builders.size(); ++i)
        filters[i] = builders[i]->buildFilter(rate);
    filters.back()->setGain(std::pow(10.0, outputGain / 20.0));
    refreshCascade();
    return SoundAlgo::initProcess(rate, channels, offset, prev, nxt);
}

void SoundAlgoFilter::initFilter(int i)
{
    if (i < 0 || static_cast<std::size_t>(i) >= builders.size() || static_cast<std::size_t>(i) >= filters.size())
        return;
    filters[i] = builders[i]->buildFilter(sampleRate);
    if (static_cast<std::size_t>(i) + 1 == filters.size())
        filters[i]->setGain(std::pow(10.0, outputGain / 20.0));
    refreshCascade();
}

void SoundAlgoFilter::refreshCascade()
{
    biquads.clear();
    for (const auto& f : filters) {
        // Exactly BiquadFilter: a subclass may filter differently.
        if (!f || typeid(*f) != typeid(SoundTools::BiquadFilter)) {
            biquads.clear();
            return;
        }
        biquads.push_back(static_cast<SoundTools::BiquadFilter*>(f.get()));
    }
}

SoundTools::Status SoundAlgoFilter::process()
{
    const unsigned n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    if (filters.empty())
        return SoundTools::StatusError;
    auto* in = inBuffers[0]->getStereoFrame(getInOrigin());
    auto* out = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (in == nullptr || out == nullptr)
        return SoundTools::StatusError;
    if (!biquads.empty()) {
        SoundTools::BiquadFilter::filterCascade(biquads.data(), static_cast<unsigned>(biquads.size()), in, out, n);
        return SoundTools::StatusOk;
    }
    filters[0]->filter(in, out, n);
    for (std::size_t i = 1; i < filters.size(); ++i)
        filters[i]->filter(out, out, n);
    return SoundTools::StatusOk;
}
