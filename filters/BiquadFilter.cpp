#include "BiquadFilter.h"

#include <cstring>
#include <valarray>

namespace SoundTools {

namespace {

std::valarray<double> three(const double v[3])
{
    return std::valarray<double>(v, 3);
}

/// One channel pair of a biquad held in locals for the length of a call, so
/// that the compiler keeps coefficients and delay lines in registers (it
/// processes both channels with one vector instruction).
template <bool Normalise>
void runOne(const double* b, const double* a, double r, double g, std::valarray<StereoFrame<double>>& xh,
            std::valarray<StereoFrame<double>>& yh, const StereoFrame<double>* in, StereoFrame<double>* out,
            unsigned n)
{
    const double b0 = b[0], b1 = b[1], b2 = b[2], a1 = a[1], a2 = a[2];
    double x1L = xh[0].left, x2L = xh[1].left, y1L = yh[0].left, y2L = yh[1].left;
    double x1R = xh[0].right, x2R = xh[1].right, y1R = yh[0].right, y2R = yh[1].right;
    for (unsigned t = 0; t < n; ++t) {
        const double l = in[t].left;
        const double rt = in[t].right;
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
        out[t].left = yl * g;
        out[t].right = yr * g;
    }
    xh[0] = {x1L, x1R};
    xh[1] = {x2L, x2R};
    yh[0] = {y1L, y1R};
    yh[1] = {y2L, y2R};
}

#if defined(__GNUC__)
// Both channels of a frame in one vector: the element-wise operations round
// exactly like the scalar ones, so the results are bit for bit the same.
typedef double Pair __attribute__((vector_size(16)));

struct PairCoefficients {
    Pair b0, b1, b2, a1, a2, r, gain;
};

/// Delay lines of one stage: x[t-1], x[t-2], y[t-1], y[t-2].
struct PairState {
    Pair x1, x2, y1, y2;
};

inline Pair splat(double v)
{
    return Pair{v, v};
}

/// Count stages frame by frame. The delay lines live in local arrays indexed
/// by compile-time constants, so they stay in registers; the coefficients are
/// read from memory (cached loads folded into the multiplications). Kept out
/// of line so that the register allocator sees only this loop.
template <unsigned Count, bool Normalise>
__attribute__((noinline)) void runFused(const PairCoefficients* c, PairState* state, const StereoFrame<double>* in,
                                        StereoFrame<double>* out, unsigned n)
{
    Pair x1[Count], x2[Count], y1[Count], y2[Count];
    for (unsigned k = 0; k < Count; ++k) {
        x1[k] = state[k].x1;
        x2[k] = state[k].x2;
        y1[k] = state[k].y1;
        y2[k] = state[k].y2;
    }
    for (unsigned t = 0; t < n; ++t) {
        Pair v;
        std::memcpy(&v, &in[t], sizeof v);
        for (unsigned k = 0; k < Count; ++k) {
            Pair y = (c[k].b2 * x2[k] + (c[k].b1 * x1[k] + c[k].b0 * v)) - c[k].a1 * y1[k] - c[k].a2 * y2[k];
            if (Normalise)
                y *= c[k].r;
            x2[k] = x1[k];
            x1[k] = v;
            y2[k] = y1[k];
            y1[k] = y;
            // Each stage hands on its gained output, as an in-place call would.
            v = y * c[k].gain;
        }
        std::memcpy(&out[t], &v, sizeof v);
    }
    for (unsigned k = 0; k < Count; ++k)
        state[k] = {x1[k], x2[k], y1[k], y2[k]};
}

template <unsigned Count>
void runFused(const PairCoefficients* c, PairState* state, bool normalise, const StereoFrame<double>* in,
              StereoFrame<double>* out, unsigned n)
{
    if (normalise)
        runFused<Count, true>(c, state, in, out, n);
    else
        runFused<Count, false>(c, state, in, out, n);
}
#endif

} // namespace

BiquadFilter::BiquadFilter(const double b[3], const double a[3])
    : Filter(three(b), three(a))
{
}

void BiquadFilter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    const double r = 1.0 / a[0];
    // Multiplying by 1.0 is exact: leaving it out changes no bit and takes one
    // multiplication off the recursion's critical path.
    if (r != 1.0)
        runOne<true>(&b[0], &a[0], r, gain, inputHistory, outputHistory, in, out, n);
    else
        runOne<false>(&b[0], &a[0], r, gain, inputHistory, outputHistory, in, out, n);
}

void BiquadFilter::filterCascade(BiquadFilter* const* stages, unsigned count, StereoFrame<double>* in,
                                 StereoFrame<double>* out, unsigned n)
{
    if (count == 0)
        return;
#if defined(__GNUC__)
    // Up to three recursions fit the vector registers side by side; beyond
    // that the delay lines would spill, so longer cascades run as a few
    // balanced groups (four stages as two pairs, five as three and two).
    const unsigned groups = (count + 2) / 3;
    StereoFrame<double>* src = in;
    unsigned first = 0;
    for (unsigned g = 0; g < groups; ++g) {
        const unsigned m = (count - first + (groups - g) - 1) / (groups - g);
        PairCoefficients c[3] = {};
        PairState state[3] = {};
        bool normalise = false;
        for (unsigned k = 0; k < m; ++k) {
            const BiquadFilter& f = *stages[first + k];
            c[k] = {splat(f.b[0]), splat(f.b[1]), splat(f.b[2]), splat(f.a[1]), splat(f.a[2]), splat(1.0 / f.a[0]),
                    splat(f.gain)};
            state[k] = {Pair{f.inputHistory[0].left, f.inputHistory[0].right},
                        Pair{f.inputHistory[1].left, f.inputHistory[1].right},
                        Pair{f.outputHistory[0].left, f.outputHistory[0].right},
                        Pair{f.outputHistory[1].left, f.outputHistory[1].right}};
            // A stage with a0 = 1 is unchanged by the (exact) product by 1, so
            // one stage that needs normalising decides for the group.
            normalise = normalise || f.a[0] != 1.0;
        }
        switch (m) {
        case 1: runFused<1>(c, state, normalise, src, out, n); break;
        case 2: runFused<2>(c, state, normalise, src, out, n); break;
        default: runFused<3>(c, state, normalise, src, out, n); break;
        }
        for (unsigned k = 0; k < m; ++k) {
            BiquadFilter& f = *stages[first + k];
            f.inputHistory[0] = {state[k].x1[0], state[k].x1[1]};
            f.inputHistory[1] = {state[k].x2[0], state[k].x2[1]};
            f.outputHistory[0] = {state[k].y1[0], state[k].y1[1]};
            f.outputHistory[1] = {state[k].y2[0], state[k].y2[1]};
        }
        first += m;
        src = out;
    }
#else
    // Short chunks through every stage keep the data in the first-level cache
    // and let the processor overlap the stages' recursions.
    constexpr unsigned chunk = 16;
    for (unsigned done = 0; done < n; done += chunk) {
        const unsigned m = n - done < chunk ? n - done : chunk;
        stages[0]->filter(in + done, out + done, m);
        for (unsigned k = 1; k < count; ++k)
            stages[k]->filter(out + done, out + done, m);
    }
#endif
}

} // namespace SoundTools
