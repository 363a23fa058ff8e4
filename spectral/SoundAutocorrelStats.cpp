#include "SoundAutocorrelStats.h"

#include <algorithm>
#include <cmath>

SoundAutocorrelStats::SoundAutocorrelStats(int value)
    : userValue(value)
{
}

SoundAutocorrelStats::~SoundAutocorrelStats() = default;

const char* SoundAutocorrelStats::getName() const
{
    return "SoundAutocorrelStats";
}

SoundTools::Status SoundAutocorrelStats::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0)
        return SoundTools::StatusOk;
    if (inBuffers.empty() || outBuffers.empty())
        return SoundTools::StatusError;
    const SoundTools::StereoFrame<double>* in = inBuffers[0]->getStereoFrame(getInOrigin());
    SoundTools::StereoFrame<double>* out = outBuffers[0]->getStereoFrame(getOutOrigin());
    if (in == nullptr || out == nullptr)
        return SoundTools::StatusError;
    const double twoPi = 2.0 * 3.14159265358979323846;

    for (int k = 0; k <= n / sBlockFrames; ++k) {
        const int s = sBlockFrames * k;
        const int e = std::min(n, s + sBlockFrames);
        // Each test reads x[i], x[i+1] and x[i+2], so a scan stops at e - 2
        // and never reads past the block; e - 1 means "not found".
        auto x = [&](int i) { return in[i].left; };
        auto isPeak = [&](int i) { return x(i + 1) > x(i) && x(i + 1) > x(i + 2) && x(i) > 0.01; };
        auto isTrough = [&](int i) { return x(i) > x(i + 1) && x(i + 2) > x(i + 1) && x(i) < 0.0; };
        auto scan = [&](int from, auto test) {
            for (int i = from; i < e - 2; ++i)
                if (test(i))
                    return i;
            return e - 1;
        };
        const int a = scan(s, isPeak);
        const int m = scan(a, isTrough);
        const int c = scan(m, isPeak);
        if (a != m && m != c && a != c) {
            const double omega = twoPi / (c - a);
            for (int i = s; i < e; ++i) {
                out[i].left = out[i].right = std::sin(phase);
                // Kept within one turn: the sine is the same, and a phase
                // that grew over hours would lose its precision.
                phase += omega;
                if (phase >= twoPi)
                    phase -= twoPi;
            }
        } else {
            phase = 0.0;
            for (int i = s; i < e; ++i)
                out[i].left = out[i].right = 0.0;
        }
    }
    return SoundTools::StatusOk;
}
