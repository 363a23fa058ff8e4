#include "RemezDesign.h"

#include "SoundFFTPlanner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <utility>
#include <vector>

namespace SoundTools {

namespace {

constexpr double sPi = 3.14159265358979323846;
constexpr int sGridDensity = 16;
// From this many cosine terms on, the loops whose iterations are independent
// (weights, samples and taps of a long filter) run on the OpenMP threads.
constexpr int sParallelTerms = 2048;
// Long filters need more exchanges than short ones before no extremal moves;
// a design that converges stops long before this.
constexpr int sMaxIterations = 250;

typedef double V4 __attribute__((vector_size(32)));
typedef double V8 __attribute__((vector_size(64)));

/// Sums of the barycentric formula at a frequency with s = sin(pi f) and
/// c = cos(pi f), over n extremals: num = sum ad y / gap, den = sum ad / gap,
/// with gap = cos(2 pi f) - x as in Exchange::gap. False when a gap is 0
/// (then the sums are not usable). Most of a long design is spent here, so
/// it runs in vectors of the widest unit the CPU has, chosen at run time.
#define TEVO_DEFINE_BARYCENTRIC(NAME, ATTRIBUTES, V)                                                             \
    ATTRIBUTES bool NAME(const double* sf, const double* cf, const double* ad, const double* y, int n, double s, \
                         double c, double& numOut, double& denOut)                                               \
    {                                                                                                            \
        constexpr int W = sizeof(V) / sizeof(double);                                                            \
        const V vs = s - V{};                                                                                    \
        const V vc = c - V{};                                                                                    \
        V num = 0.0 - V{};                                                                                       \
        V den = 0.0 - V{};                                                                                       \
        bool hit = false;                                                                                        \
        int j = 0;                                                                                               \
        for (; j + W <= n; j += W) {                                                                             \
            V a, b, w, yy;                                                                                       \
            std::memcpy(&a, sf + j, sizeof(V));                                                                  \
            std::memcpy(&b, cf + j, sizeof(V));                                                                  \
            std::memcpy(&w, ad + j, sizeof(V));                                                                  \
            std::memcpy(&yy, y + j, sizeof(V));                                                                  \
            const V g = -2.0 * (vs * b + vc * a) * (vs * b - vc * a);                                            \
            for (int k = 0; k < W; ++k)                                                                          \
                hit |= g[k] == 0.0;                                                                              \
            const V q = w / g;                                                                                   \
            den += q;                                                                                            \
            num += q * yy;                                                                                       \
        }                                                                                                        \
        double tn = 0.0;                                                                                         \
        double td = 0.0;                                                                                         \
        for (int k = 0; k < W; ++k) {                                                                            \
            tn += num[k];                                                                                        \
            td += den[k];                                                                                        \
        }                                                                                                        \
        for (; j < n; ++j) {                                                                                     \
            const double g = -2.0 * (s * cf[j] + c * sf[j]) * (s * cf[j] - c * sf[j]);                           \
            hit |= g == 0.0;                                                                                     \
            const double q = ad[j] / g;                                                                          \
            td += q;                                                                                             \
            tn += q * y[j];                                                                                      \
        }                                                                                                        \
        numOut = tn;                                                                                             \
        denOut = td;                                                                                             \
        return !hit;                                                                                             \
    }

TEVO_DEFINE_BARYCENTRIC(barycentricAvx512, __attribute__((target("avx512f"))), V8)
TEVO_DEFINE_BARYCENTRIC(barycentricAvx2, __attribute__((target("avx2"))), V4)
TEVO_DEFINE_BARYCENTRIC(barycentricBaseline, , V4)

using BarycentricFn = bool (*)(const double*, const double*, const double*, const double*, int, double, double,
                               double&, double&);

BarycentricFn pickBarycentric()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return barycentricAvx512;
    if (__builtin_cpu_supports("avx2"))
        return barycentricAvx2;
    return barycentricBaseline;
}

const BarycentricFn sBarycentric = pickBarycentric();

/// The exchange works on 1-based arrays: grid index 0 and ngrid + 1 stand for
/// "below" and "above" the grid, which keeps the end searches simple.
struct Exchange {
    int nfcns = 0; ///< cosine terms of the approximation
    int ngrid = 0;
    std::vector<double> grid, des, wt;
    std::vector<int> iext;
    std::vector<double> x, y, ad;
    std::vector<double> sf, cf; ///< sin and cos of pi times each extremal
    std::vector<int> scale;     ///< binary exponent set aside from each weight
    double dev = 0.0;

    /// Barycentric weights of the current extremals; the products are formed
    /// in interleaved passes so that long filters neither overflow nor
    /// underflow on the way.
    void interpolate()
    {
        const int nz = nfcns + 1;
        for (int j = 1; j <= nz; ++j) {
            x[j] = std::cos(2.0 * sPi * grid[iext[j]]);
            sf[j] = std::sin(sPi * grid[iext[j]]);
            cf[j] = std::cos(sPi * grid[iext[j]]);
        }
        const int jet = (nfcns - 1) / 15 + 1;
        // Extremals crowded into a narrow band make products that leave the
        // range of a double; those are carried as mantissa and exponent and
        // every weight is rescaled by the same power of two at the end, which
        // the barycentric formulas do not see.
        bool rescaled = false;
        int top = std::numeric_limits<int>::min();
        // Each weight is its own product, in the same order on any thread.
#pragma omp parallel for schedule(static) reduction(||                        \
                                                    : rescaled) reduction(max \
                                                                          : top) if (nz >= sParallelTerms)
        for (int k = 1; k <= nz; ++k) {
            double p = 1.0;
            int e = 0;
            for (int l = 1; l <= jet; ++l)
                for (int j = l; j <= nz; j += jet)
                    if (j != k) {
                        p *= 2.0 * gap(sf[k], cf[k], j);
                        if (std::fabs(p) > 1e150 || std::fabs(p) < 1e-150) {
                            int shift = 0;
                            p = std::frexp(p, &shift);
                            e += shift;
                            rescaled = true;
                        }
                    }
            ad[k] = 1.0 / p;
            scale[k] = -e;
            top = std::max(top, -e);
        }
        if (rescaled)
            for (int k = 1; k <= nz; ++k)
                ad[k] = std::ldexp(ad[k], scale[k] - top);
        double num = 0.0;
        double den = 0.0;
        double sign = 1.0;
        for (int j = 1; j <= nz; ++j) {
            num += ad[j] * des[iext[j]];
            den += sign * ad[j] / wt[iext[j]];
            sign = -sign;
        }
        dev = num / den;
        double s = dev > 0.0 ? -1.0 : 1.0;
        dev = -s * dev;
        for (int j = 1; j <= nz; ++j) {
            y[j] = des[iext[j]] + s * dev / wt[iext[j]];
            s = -s;
        }
    }

    /// The sign the error has at the first extremal (+1 or -1).
    double firstSign() const { return (y[1] - des[iext[1]]) * wt[iext[1]] > 0.0 ? 1.0 : -1.0; }

    /// cos(2 pi f) - x[j] for s = sin(pi f), c = cos(pi f), formed as
    /// -2 sin(pi (f + fj)) sin(pi (f - fj)): near 0 and 0.5, where long
    /// filters crowd their extremals, the plain difference of two cosines
    /// would keep only a few significant digits.
    double gap(double s, double c, int j) const
    {
        return -2.0 * (s * cf[j] + c * sf[j]) * (s * cf[j] - c * sf[j]);
    }

    double amplitude(double f) const
    {
        const double s = std::sin(sPi * f);
        const double c = std::cos(sPi * f);
        double num = 0.0;
        double den = 0.0;
        const int n = nfcns + 1;
        if (!sBarycentric(&sf[1], &cf[1], &ad[1], &y[1], n, s, c, num, den)) {
            // The frequency is an extremal: the interpolant takes its ordinate.
            for (int j = 1; j <= n; ++j)
                if (gap(s, c, j) == 0.0)
                    return y[j];
        }
        return num / den;
    }

    double error(int l) const { return (amplitude(grid[l]) - des[l]) * wt[l]; }

    /// One pass over the extremals. Each moves to the largest error next to
    /// it (searching upwards first, downwards while nothing has moved yet);
    /// then a larger error beyond the first or the last one shifts the whole
    /// set. Returns false when the deviation stopped growing.
    enum class Pass { Moved,
                      Settled,
                      Stalled };
    Pass search(double& devl)
    {
        const int nz = nfcns + 1;
        const int nzz = nfcns + 2;
        iext[nzz] = ngrid + 1;
        interpolate();
        if (dev <= devl)
            return Pass::Stalled;
        devl = dev;
        // The sign of the error at the first extremal.
        const double nu = firstSign();
        int jchnge = 0;
        int k1 = iext[1];
        int knz = iext[nz];
        int klow = 0;
        double nut = -nu;
        double comp = 0.0;
        double y1 = 0.0;
        int j = 1;
        // Upwards from l while the error grows; the extremal lands on the last
        // point that grew.
        auto ascend = [&](int l, int kup) {
            while (++l < kup) {
                const double e = nut * error(l);
                if (e - comp <= 0.0)
                    break;
                comp = e;
            }
            return l - 1;
        };
        auto descend = [&](int l, int lowest) {
            while (--l > lowest) {
                const double e = nut * error(l);
                if (e - comp <= 0.0)
                    break;
                comp = e;
            }
            return l + 1;
        };
        while (j < nzz) {
            const int kup = iext[j + 1];
            nut = -nut;
            if (j == 2)
                y1 = comp;
            comp = dev;
            int l = iext[j] + 1;
            if (l < kup) {
                const double e = nut * error(l);
                if (e - comp > 0.0) {
                    comp = e;
                    iext[j] = ascend(l, kup);
                    klow = iext[j];
                    ++j;
                    ++jchnge;
                    continue;
                }
            }
            l = iext[j];
            bool below = false;
            bool gaveUp = false;
            while (--l > klow) {
                const double e = nut * error(l);
                if (e - comp > 0.0) {
                    comp = e;
                    below = true;
                    break;
                }
                if (jchnge > 0) {
                    gaveUp = true;
                    break;
                }
            }
            if (below) {
                const int moved = descend(l, klow);
                klow = iext[j];
                iext[j] = moved;
                ++j;
                ++jchnge;
                continue;
            }
            if (!gaveUp) {
                if (jchnge > 0) {
                    klow = iext[j];
                    ++j;
                    ++jchnge;
                    continue;
                }
                bool above = false;
                for (l = iext[j] + 1; ++l < kup;) {
                    const double e = nut * error(l);
                    if (e - comp > 0.0) {
                        comp = e;
                        above = true;
                        break;
                    }
                }
                if (above) {
                    iext[j] = ascend(l, kup);
                    klow = iext[j];
                    ++j;
                    ++jchnge;
                    continue;
                }
            }
            klow = iext[j];
            ++j;
        }
        const double ynz = comp;

        // Beyond the ends of the set: below the first extremal, then above
        // the last one.
        k1 = std::min(k1, iext[1]);
        knz = std::max(knz, iext[nz]);
        const double nut1 = nut;
        nut = -nu;
        comp = ynz * 1.00001;
        bool low = false;
        for (int l = 0; ++l < k1;) {
            const double e = nut * error(l);
            if (e - comp > 0.0) {
                comp = e;
                iext[nzz] = ascend(l, k1);
                ++jchnge;
                low = true;
                break;
            }
        }
        if (low) {
            y1 = std::max(y1, comp);
            k1 = iext[nzz];
        }
        nut = -nut1;
        comp = y1 * 1.00001;
        for (int l = ngrid + 1; --l > knz;) {
            const double e = nut * error(l);
            if (e - comp > 0.0) {
                comp = e;
                const int kn = descend(l, knz);
                for (int i = 1; i <= nfcns; ++i)
                    iext[i] = iext[i + 1];
                iext[nz] = kn;
                return Pass::Moved;
            }
        }
        if (low) {
            for (int i = 1; i <= nfcns; ++i)
                iext[nzz - i] = iext[nz - i];
            iext[1] = k1;
            return Pass::Moved;
        }
        return jchnge > 0 ? Pass::Moved : Pass::Settled;
    }
};

} // namespace

namespace {

/// The design of remezDesign; `exact`, when not null, also receives the taps
/// of the same exchange sampled without snapping.
bool designTaps(double* h, double* exact, int numtaps, int numband, const double* bands, const double* desired,
                const double* weight, bool snapSamples)
{
    if (h == nullptr || numtaps < 1)
        return false;
    std::fill(h, h + numtaps, 0.0);
    if (numband < 1 || bands == nullptr || desired == nullptr || weight == nullptr)
        return false;
    for (int i = 0; i < 2 * numband; ++i)
        if (!std::isfinite(bands[i]) || bands[i] < 0.0 || bands[i] > 0.5 || (i > 0 && bands[i] < bands[i - 1]))
            return false;

    const bool odd = numtaps % 2 == 1;
    Exchange ex;
    ex.nfcns = numtaps / 2 + (odd ? 1 : 0);
    const int nfcns = ex.nfcns;

    // Dense grid: 16 points per cosine term over 0 .. 0.5. Every band starts
    // on its lower edge and ends on its upper edge, so each edge is a
    // candidate extremal, and even a band of zero width keeps one point.
    const double delf = 0.5 / (sGridDensity * nfcns);
    ex.grid.push_back(0.0);
    ex.des.push_back(0.0);
    ex.wt.push_back(0.0);
    for (int band = 0; band < numband; ++band) {
        const double upper = bands[2 * band + 1];
        double f = bands[2 * band];
        do {
            ex.grid.push_back(f);
            ex.des.push_back(desired[band]);
            ex.wt.push_back(weight[band]);
            f += delf;
        } while (f <= upper);
        ex.grid.back() = upper;
    }
    ex.ngrid = static_cast<int>(ex.grid.size()) - 1;
    // An even length is 0 at 0.5 whatever the taps: leave that point out.
    if (!odd && ex.grid[ex.ngrid] > 0.5 - delf)
        --ex.ngrid;
    if (ex.ngrid < nfcns + 1)
        return false;
    ex.grid.push_back(0.0);
    ex.des.push_back(0.0);
    ex.wt.push_back(1.0);

    // An even length carries a factor cos(pi f): approximate D / cos with
    // weight W cos, and take the factor back when forming the taps.
    if (!odd) {
        for (int j = 1; j <= ex.ngrid; ++j) {
            const double c = std::cos(sPi * ex.grid[j]);
            ex.des[j] /= c;
            ex.wt[j] *= c;
        }
    }

    ex.iext.assign(nfcns + 3, 0);
    const double spread = static_cast<double>(ex.ngrid - 1) / nfcns;
    for (int j = 1; j <= nfcns; ++j)
        ex.iext[j] = static_cast<int>((j - 1) * spread) + 1;
    ex.iext[nfcns + 1] = ex.ngrid;
    ex.x.assign(nfcns + 3, 0.0);
    ex.y.assign(nfcns + 3, 0.0);
    ex.ad.assign(nfcns + 3, 0.0);
    ex.sf.assign(nfcns + 3, 0.0);
    ex.cf.assign(nfcns + 3, 0.0);
    ex.scale.assign(nfcns + 3, 0);

    double devl = -1.0;
    bool converged = false;
    for (int iter = 0; iter < sMaxIterations; ++iter) {
        const Exchange::Pass pass = ex.search(devl);
        if (pass == Exchange::Pass::Settled) {
            converged = true;
            break;
        }
        if (pass == Exchange::Pass::Stalled)
            break;
    }
    if (!converged) {
        std::cerr << "Reached maximum iteration count.\nResults may be bad.\n"
                  << std::flush;
        ex.interpolate();
    }

    // Sample the optimal response at 2 nfcns - 1 equally spaced frequencies
    // and take its cosine coefficients. When the bands leave out part of
    // 0 .. 0.5 the samples are taken on the covered range, mapped onto a
    // full period, and the polynomial is mapped back afterwards.
    auto formTaps = [&](double snap, double* h) {
        const int nz = nfcns + 1;
        const int nm1 = nfcns - 1;
        const int cn = 2 * nfcns - 1;
        const bool mapped = !(bands[0] == 0.0 && bands[2 * numband - 1] == 0.5) && nfcns > 3;
        double aa = 0.0;
        double bb = 0.0;
        if (mapped) {
            const double lo = std::cos(2.0 * sPi * ex.grid[1]);
            const double hi = std::cos(2.0 * sPi * ex.grid[ex.ngrid]);
            aa = 2.0 / (lo - hi);
            bb = -(lo + hi) / (lo - hi);
        }
        ex.x[nfcns + 2] = -2.0;
        // The barycentric form is accurate right up to an extremal; the snap of
        // the classic program stands, near 0 and 0.5 in long filters, for
        // frequencies far from the sample.
        std::vector<double> a(nfcns + 3, 0.0);
        std::vector<double> alpha(nfcns + 3, 0.0);
        // Which samples take an extremal's ordinate is found in one walk;
        // the others are interpolated independently.
        std::vector<double> fts(nfcns + 1, 0.0);
        std::vector<char> interpolated(nfcns + 1, 0);
        int l = 1;
        for (int j = 1; j <= nfcns; ++j) {
            double ft = (j - 1) / static_cast<double>(cn);
            double xt = std::cos(2.0 * sPi * ft);
            if (mapped) {
                xt = (xt - bb) / aa;
                ft = std::acos(xt) / (2.0 * sPi);
            }
            fts[j] = ft;
            // The extremals are in decreasing x; a sample within `snap` of one
            // takes its ordinate.
            for (;;) {
                const double xe = ex.x[l];
                if (xt > xe) {
                    if (xt - xe < snap)
                        a[j] = ex.y[l];
                    else
                        interpolated[j] = 1;
                    break;
                }
                if (xe - xt < snap) {
                    a[j] = ex.y[l];
                    break;
                }
                ++l;
            }
            if (l > 1)
                --l;
        }
#pragma omp parallel for schedule(static) if (nfcns >= sParallelTerms)
        for (int j = 1; j <= nfcns; ++j)
            if (interpolated[j])
                a[j] = ex.amplitude(fts[j]);
        // cos(2 pi (j - 1) k / cn) from a table of one period: exact
        // arguments, and no cosine call in the quadratic loop.
        std::vector<double> period(cn);
        for (int m = 0; m < cn; ++m)
            period[m] = std::cos(2.0 * sPi * m / cn);
#pragma omp parallel for schedule(static) if (nfcns >= sParallelTerms)
        for (int j = 1; j <= nfcns; ++j) {
            double sum = 0.0;
            const int stride = j - 1;
            int m = 0;
            for (int k = 1; k <= nm1; ++k) {
                m += stride;
                if (m >= cn)
                    m -= cn;
                sum += a[k + 1] * period[m];
            }
            alpha[j] = 2.0 * sum + a[1];
        }
        for (int j = 2; j <= nfcns; ++j)
            alpha[j] *= 2.0 / cn;
        alpha[1] /= cn;

        if (mapped) {
            std::vector<double> p(nfcns + 3, 0.0);
            std::vector<double> q(nfcns + 3, 0.0);
            p[1] = 2.0 * alpha[nfcns] * bb + alpha[nm1];
            p[2] = 2.0 * aa * alpha[nfcns];
            q[1] = alpha[nfcns - 2] - alpha[nfcns];
            for (int j = 2; j <= nm1; ++j) {
                if (j >= nm1) {
                    aa *= 0.5;
                    bb *= 0.5;
                }
                p[j + 1] = 0.0;
                for (int k = 1; k <= j; ++k) {
                    a[k] = p[k];
                    p[k] = 2.0 * bb * a[k];
                }
                p[2] += a[1] * 2.0 * aa;
                for (int k = 1; k <= j - 1; ++k)
                    p[k] += q[k] + aa * a[k + 1];
                for (int k = 3; k <= j + 1; ++k)
                    p[k] += aa * a[k - 1];
                if (j != nm1) {
                    for (int k = 1; k <= j; ++k)
                        q[k] = -a[k];
                    q[1] += alpha[nfcns - 1 - j];
                }
            }
            for (int j = 1; j <= nfcns; ++j)
                alpha[j] = p[j];
        }
        if (nfcns <= 3)
            alpha[nfcns + 1] = alpha[nfcns + 2] = 0.0;

        // Taps from the cosine coefficients, then mirrored.
        std::vector<double> hh(nfcns + 1, 0.0);
        if (odd) {
            for (int j = 1; j <= nm1; ++j)
                hh[j] = 0.5 * alpha[nz - j];
            hh[nfcns] = alpha[1];
        } else {
            hh[1] = 0.25 * alpha[nfcns];
            for (int j = 2; j <= nm1; ++j)
                hh[j] = 0.25 * (alpha[nz - j] + alpha[nfcns + 2 - j]);
            hh[nfcns] = 0.5 * alpha[1] + 0.25 * alpha[2];
        }
        for (int j = 1; j <= nfcns; ++j) {
            h[j - 1] = hh[j];
            h[numtaps - j] = hh[j];
        }
        if (!std::all_of(h, h + numtaps, [](double v) { return std::isfinite(v); })) {
            std::fill(h, h + numtaps, 0.0);
            return false;
        }
        return true;
    };
    if (!formTaps(snapSamples ? 1e-6 : 0.0, h))
        return false;
    if (exact != nullptr && !formTaps(0.0, exact))
        return false;
    return true;
}

} // namespace

bool remezDesign(double* h, int numtaps, int numband, const double* bands, const double* desired,
                 const double* weight, bool snapSamples)
{
    return designTaps(h, nullptr, numtaps, numband, bands, desired, weight, snapSamples);
}

namespace {

const char* typeName(FilterType type)
{
    switch (type) {
    case LowPass:
        return "low-pass";
    case HighPass:
        return "high-pass";
    case BandPass:
        return "band-pass";
    case BandStop:
        return "band-stop";
    default:
        return "filter";
    }
}

std::string hz(double f)
{
    std::ostringstream s;
    s.precision(f < 10.0 ? 3 : 6);
    s << f;
    return s.str();
}

std::string describe(const EqualRippleSpec& request, FilterType type)
{
    std::string s = std::string(request.kind) + " " + typeName(type);
    if (type == BandPass || type == BandStop)
        return s + " " + hz(request.freq1) + "-" + hz(request.freq2) + " Hz";
    return s + " at " + hz(request.freq1) + " Hz";
}

/// Kaiser's length estimate for a transition `t` (fraction of the rate).
double kaiserLength(double deltaPass, double deltaStop, double t)
{
    return std::floor((-10.0 * std::log10(deltaPass * deltaStop) - 13.0) / (14.6 * t) + 0.5) + 1.0;
}

} // namespace

EqualRippleSpec equalRippleRequest(const char* kind, FilterType type, double freq1, double freq2, double sampleRate,
                                   double deltaPass, double deltaStop, double transition, bool oddLength,
                                   unsigned maxTaps, std::string tooLong)
{
    EqualRippleSpec request;
    request.kind = kind;
    request.type = type;
    request.freq1 = freq1;
    request.freq2 = freq2;
    request.sampleRate = sampleRate;
    request.deltaPass = deltaPass;
    request.deltaStop = deltaStop;
    request.transition = transition;
    request.oddLength = oddLength;
    request.maxTaps = maxTaps;
    request.tooLong = std::move(tooLong);
    return request;
}

EqualRipplePlan planEqualRipple(const EqualRippleSpec& request)
{
    EqualRipplePlan plan;
    FilterType type = request.type;
    const double fs = request.sampleRate;
    if (type != LowPass && type != HighPass && type != BandPass && type != BandStop) {
        plan.error = "unsupported filter type " + std::to_string(int(type));
        return plan;
    }
    if (!(fs > 0.0) || !std::isfinite(fs)) {
        plan.error = "no sample rate to design for";
        return plan;
    }
    const std::string what = describe(request, type);
    const double nyquist = fs * 0.5;
    if (!(request.freq1 > 0.0) || !std::isfinite(request.freq1)) {
        plan.error = what + ": the frequency must be positive";
        return plan;
    }
    if (!(request.freq1 < nyquist)) {
        plan.error = what + ": " + hz(request.freq1) + " Hz is not below half the sample rate (" + hz(nyquist) + " Hz)";
        return plan;
    }
    const bool twoEdges = type == BandPass || type == BandStop;
    if (twoEdges && !(request.freq2 > request.freq1)) {
        plan.error = what + ": band edges " + hz(request.freq1) + " and " + hz(request.freq2) + " Hz are not in ascending order";
        return plan;
    }
    // A band reaching half the rate has nothing above it.
    if (twoEdges && request.freq2 >= nyquist)
        type = type == BandPass ? HighPass : LowPass;

    const double f1 = request.freq1 / fs;
    const double f2 = request.freq2 / fs;
    const double t = request.transition;
    const double wStop = request.deltaPass / request.deltaStop;
    double narrowest = t;
    bool squeezed = false;
    auto side = [&](double room) {
        const double used = std::min(t, room);
        if (used < t)
            squeezed = true;
        narrowest = std::min(narrowest, used);
        return used;
    };
    double lo = 0.0;
    double hi = 0.0;
    switch (type) {
    case LowPass:
        hi = side((0.5 - f1) / 2.0);
        plan.bands = {0.0, f1, f1 + hi, 0.5};
        plan.desired = {1.0, 0.0};
        plan.weights = {1.0, wStop};
        break;
    case HighPass:
        lo = side(f1 / 2.0);
        plan.bands = {0.0, f1 - lo, f1, 0.5};
        plan.desired = {0.0, 1.0};
        plan.weights = {wStop, 1.0};
        break;
    case BandPass:
        lo = side(f1 / 2.0);
        hi = side((0.5 - f2) / 2.0);
        plan.bands = {0.0, f1 - lo, f1, f2, f2 + hi, 0.5};
        plan.desired = {0.0, 1.0, 0.0};
        plan.weights = {wStop, 1.0, wStop};
        break;
    default: // BandStop
        lo = hi = side((f2 - f1) / 3.0);
        plan.bands = {0.0, f1, f1 + lo, f2 - hi, f2, 0.5};
        plan.desired = {1.0, 0.0, 1.0};
        plan.weights = {1.0, wStop, 1.0};
        break;
    }
    double length = narrowest > 0.0 ? kaiserLength(request.deltaPass, request.deltaStop, narrowest) : HUGE_VAL;
    const bool lastPasses = plan.desired.back() > 0.0;
    if ((request.oddLength || lastPasses) && std::isfinite(length) && std::fmod(length, 2.0) == 0.0)
        length += 1.0;
    if (!(length <= request.maxTaps)) {
        const std::string need = std::isfinite(length) && length < 1e9
            ? "needs " + std::to_string(static_cast<long long>(length)) + " taps"
            : "cannot be designed";
        if (squeezed)
            plan.error = what + ": the band edges leave room only for a transition of " + hz(narrowest * fs)
                + " Hz, which " + need + "; " + request.tooLong;
        else
            plan.error = what + " " + need + "; " + request.tooLong;
        plan.bands.clear();
        return plan;
    }
    plan.taps = static_cast<unsigned>(length);
    return plan;
}

std::vector<double> measureBands(const std::vector<double>& h, const std::vector<double>& bands,
                                 const std::vector<double>& desired)
{
    const std::size_t nb = desired.size();
    std::vector<double> worst(nb, 0.0);
    if (h.empty() || bands.size() < 2 * nb)
        return worst;
    std::size_t size = 8192;
    while (size < 16 * h.size())
        size *= 2;
    double* in = SoundFFTPlanner::allocArray(size);
    double* out = SoundFFTPlanner::allocArray(size + 2);
    std::fill(in, in + size, 0.0);
    std::copy(h.begin(), h.end(), in);
    SoundFFTPlanner::Plan plan = SoundFFTPlanner::planR2C(static_cast<int>(size), in, out);
    const bool transformed = plan != nullptr;
    if (transformed) {
        SoundFFTPlanner::executeR2C(plan, in, out);
        SoundFFTPlanner::destroy(plan);
    }
    auto direct = [&](double f) {
        double re = 0.0;
        double im = 0.0;
        for (std::size_t n = 0; n < h.size(); ++n) {
            re += h[n] * std::cos(2.0 * sPi * f * double(n));
            im -= h[n] * std::sin(2.0 * sPi * f * double(n));
        }
        return std::hypot(re, im);
    };
    for (std::size_t b = 0; b < nb; ++b) {
        const double lo = bands[2 * b];
        const double hi = bands[2 * b + 1];
        double w = std::max(std::fabs(direct(lo) - desired[b]), std::fabs(direct(hi) - desired[b]));
        if (transformed) {
            const std::size_t first = static_cast<std::size_t>(std::ceil(lo * double(size)));
            const std::size_t last = std::min(size / 2, static_cast<std::size_t>(std::floor(hi * double(size))));
            for (std::size_t k = first; k <= last; ++k)
                w = std::max(w, std::fabs(std::hypot(out[2 * k], out[2 * k + 1]) - desired[b]));
        } else {
            for (int i = 0; i <= 256; ++i)
                w = std::max(w, std::fabs(direct(lo + (hi - lo) * i / 256.0) - desired[b]));
        }
        worst[b] = w;
    }
    SoundFFTPlanner::freeArray(in);
    SoundFFTPlanner::freeArray(out);
    return worst;
}

bool designEqualRipple(const EqualRippleSpec& request, const EqualRipplePlan& plan, std::vector<double>& h,
                       std::string& error)
{
    h.assign(plan.taps, 0.0);
    if (plan.taps == 0) {
        error = plan.error;
        return false;
    }
    const std::string what = describe(request, request.type);
    const int nb = static_cast<int>(plan.desired.size());
    // Kaiser's estimate runs short for the narrowest transitions: a design
    // that misses is tried again a quarter longer, up to the limit.
    unsigned taps = plan.taps;
    for (int attempt = 0;; ++attempt) {
        h.assign(taps, 0.0);
        std::vector<double> exact(taps, 0.0);
        if (!designTaps(h.data(), exact.data(), static_cast<int>(taps), nb, plan.bands.data(), plan.desired.data(),
                        plan.weights.data(), true)) {
            error = what + ": the equiripple design of " + std::to_string(taps) + " taps broke down numerically";
            h.clear();
            return false;
        }
        auto firstMiss = [&](const std::vector<double>& taps, double& worst, double& limit) {
            const std::vector<double> dev = measureBands(taps, plan.bands, plan.desired);
            for (int b = 0; b < nb; ++b) {
                limit = 2.0 * (plan.desired[b] > 0.0 ? request.deltaPass : request.deltaStop);
                worst = dev[b];
                if (!(worst <= limit))
                    return b;
            }
            return -1;
        };
        double worst = 0.0;
        double limit = 0.0;
        // The taps as the classic program forms them, else the same exchange
        // sampled exactly (see remezDesign).
        if (firstMiss(h, worst, limit) < 0)
            return true;
        const int missed = firstMiss(exact, worst, limit);
        if (missed < 0) {
            h.swap(exact);
            return true;
        }
        unsigned longer = taps + std::max(2u, taps / 4 / 2 * 2);
        if (attempt < 3 && longer <= request.maxTaps) {
            taps = longer;
            continue;
        }
        const bool pass = plan.desired[missed] > 0.0;
        std::ostringstream s;
        s.precision(3);
        s << what << " misses its " << (pass ? "pass" : "stop") << " band "
          << hz(plan.bands[2 * missed] * request.sampleRate) << "-" << hz(plan.bands[2 * missed + 1] * request.sampleRate)
          << " Hz with " << taps << " taps: ";
        if (pass)
            s << "it deviates by " << 20.0 * std::log10(1.0 + worst) << " dB (at most "
              << 20.0 * std::log10(1.0 + limit) << " dB allowed)";
        else
            s << "it reaches " << 20.0 * std::log10(worst) << " dB (at most " << 20.0 * std::log10(limit)
              << " dB allowed)";
        if (longer > request.maxTaps)
            s << "; " << request.tooLong;
        error = s.str();
        h.clear();
        return false;
    }
}

} // namespace SoundTools
