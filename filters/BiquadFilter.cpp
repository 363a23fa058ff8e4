#include "BiquadFilter.h"

#include <valarray>

namespace SoundTools {

namespace {

std::valarray<double> three(const double v[3])
{
    return std::valarray<double>(v, 3);
}

/// The biquad's coefficients and delay lines held in locals for the length of
/// one call, so that the compiler keeps them in registers.
struct BiquadState {
    double b0, b1, b2, a1, a2, r, gain;
    double x1L, x2L, y1L, y2L;
    double x1R, x2R, y1R, y2R;
    bool normalise;

    void load(const std::valarray<double>& b, const std::valarray<double>& a, double g,
              const std::valarray<StereoFrame<double>>& in, const std::valarray<StereoFrame<double>>& out)
    {
        b0 = b[0];
        b1 = b[1];
        b2 = b[2];
        a1 = a[1];
        a2 = a[2];
        r = 1.0 / a[0];
        // Multiplying by 1.0 is exact, so skipping it changes no bit of the
        // result and takes one multiplication off the recursion's critical path.
        normalise = r != 1.0;
        gain = g;
        x1L = in[0].left;
        x2L = in[1].left;
        x1R = in[0].right;
        x2R = in[1].right;
        y1L = out[0].left;
        y2L = out[1].left;
        y1R = out[0].right;
        y2R = out[1].right;
    }

    void store(std::valarray<StereoFrame<double>>& in, std::valarray<StereoFrame<double>>& out) const
    {
        in[0] = {x1L, x1R};
        in[1] = {x2L, x2R};
        out[0] = {y1L, y1R};
        out[1] = {y2L, y2R};
    }

    /// One frame; returns the output before the gain.
    template <bool Normalise>
    inline void step(double& l, double& rt)
    {
        double yl = (b2 * x2L + (b1 * x1L + b0 * l)) - a1 * y1L - a2 * y2L;
        double yr = (b2 * x2R + (b1 * x1R + b0 * rt)) - a1 * y1R - a2 * y2R;
        if (Normalise) {
            yl *= r;
            yr *= r;
        }
        x2L = x1L;
        x1L = l;
        x2R = x1R;
        x1R = rt;
        y2L = y1L;
        y1L = yl;
        y2R = y1R;
        y1R = yr;
        l = yl;
        rt = yr;
    }
};

template <bool Normalise>
void runOne(BiquadState& s, const StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    const double g = s.gain;
    for (unsigned t = 0; t < n; ++t) {
        double l = in[t].left;
        double r = in[t].right;
        s.step<Normalise>(l, r);
        out[t].left = l * g;
        out[t].right = r * g;
    }
}

/// Up to four stages fused; the count is a template argument so that the
/// per-stage loop unrolls and every state stays in registers.
template <unsigned Count, bool Normalise>
void runFusedLoop(BiquadState* s, const StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    for (unsigned t = 0; t < n; ++t) {
        double l = in[t].left;
        double r = in[t].right;
        for (unsigned k = 0; k < Count; ++k) {
            s[k].step<Normalise>(l, r);
            // Every stage writes its gained output, and the next stage reads
            // that, exactly as successive in-place calls would.
            l *= s[k].gain;
            r *= s[k].gain;
        }
        out[t].left = l;
        out[t].right = r;
    }
}

template <unsigned Count>
void runFused(BiquadState* s, const StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    // A stage whose a0 is 1 is left unchanged by the normalising product, so
    // one stage that needs it decides for the group without changing a bit.
    bool normalise = false;
    for (unsigned k = 0; k < Count; ++k)
        normalise = normalise || s[k].normalise;
    if (normalise)
        runFusedLoop<Count, true>(s, in, out, n);
    else
        runFusedLoop<Count, false>(s, in, out, n);
}

} // namespace

BiquadFilter::BiquadFilter(const double b[3], const double a[3])
    : Filter(three(b), three(a))
{
}

void BiquadFilter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    BiquadState s;
    s.load(b, a, gain, inputHistory, outputHistory);
    if (s.normalise)
        runOne<true>(s, in, out, n);
    else
        runOne<false>(s, in, out, n);
    s.store(inputHistory, outputHistory);
}

void BiquadFilter::filterCascade(BiquadFilter* const* stages, unsigned count, StereoFrame<double>* in,
                                 StereoFrame<double>* out, unsigned n)
{
    constexpr unsigned group = 4;
    StereoFrame<double>* src = in;
    for (unsigned first = 0; first < count; first += group) {
        const unsigned m = count - first < group ? count - first : group;
        BiquadState s[group];
        for (unsigned k = 0; k < m; ++k) {
            BiquadFilter* f = stages[first + k];
            s[k].load(f->b, f->a, f->gain, f->inputHistory, f->outputHistory);
        }
        switch (m) {
        case 1: runFused<1>(s, src, out, n); break;
        case 2: runFused<2>(s, src, out, n); break;
        case 3: runFused<3>(s, src, out, n); break;
        default: runFused<4>(s, src, out, n); break;
        }
        for (unsigned k = 0; k < m; ++k) {
            BiquadFilter* f = stages[first + k];
            s[k].store(f->inputHistory, f->outputHistory);
        }
        src = out;
    }
}

} // namespace SoundTools
