#include "SoundAlgoFFTMultiStats.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoBandMeter.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"

SoundAlgoFFTMultiStats::SoundAlgoFFTMultiStats(std::vector<double>& freqs, unsigned, bool sum)
    : SoundAlgoComposite("SoundAlgoMultiStats", true)
{
    const std::size_t n = freqs.size();
    if (n == 0)
        return;
    auto* branches = new SoundAlgoComposite("stat branches", true);
    pushAlgo(new SoundAlgoFFTDirectCompute(sFFTSize, true));
    for (std::size_t b = 0; b <= n; ++b) {
        branches->addNewBranch();
        SoundAlgoFFTFilter* filter;
        if (b == 0)
            filter = new SoundAlgoFFTFilter(SoundTools::LowPass, freqs[0], 0.0);
        else if (b == n)
            filter = new SoundAlgoFFTFilter(SoundTools::HighPass, freqs[n - 1], 0.0);
        else
            filter = new SoundAlgoFFTFilter(SoundTools::BandPass, freqs[b - 1], freqs[b]);
        branches->pushAlgo(filter);
        branches->pushAlgo(new SoundAlgoFFTInverseCompute(SoundAlgoFFTInverseCompute::OverlapAdd));
        // A meter that keeps its 1 s window itself: a SoundAlgoStats would
        // have every band buffer hold a second of history.
        auto* stat = new SoundAlgoBandMeter(1.0);
        branches->pushAlgo(stat);
        stats.push_back(stat);
    }
    pushAlgo(branches);
    if (sum)
        pushAlgo(new SoundAlgoAdd(static_cast<int>(n + 1), true, nullptr));
    setReadOnly();
}

SoundAlgoStats* SoundAlgoFFTMultiStats::GetStats(int band)
{
    if (band < 0 || band >= static_cast<int>(stats.size()))
        return nullptr;
    return stats[band];
}
