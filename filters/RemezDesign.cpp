#include "RemezDesign.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <vector>

namespace SoundTools {

namespace {

constexpr double sPi = 3.14159265358979323846;
constexpr int sGridDensity = 16;
constexpr int sMaxIterations = 40;
constexpr double sConvergence = 0.0001;
// Below this distance the barycentric form would divide by (nearly) zero, so
// the interpolation takes the ordinate of the extremal itself.
constexpr double sSnap = 1e-7;
// Products of the barycentric weights can underflow when extremals crowd
// together; clamping keeps 1/p finite.
constexpr double sMinProduct = 0.00001;

/// Lagrange interpolation state through the r+1 current extremals.
struct Interpolation {
    std::vector<double> x;  ///< cos(2 pi f) of each extremal
    std::vector<double> ad; ///< barycentric weights
    std::vector<double> y;  ///< ordinates with the alternating deviation

    void compute(int r, const std::vector<int>& ext, const std::vector<double>& grid, const std::vector<double>& d,
                 const std::vector<double>& w)
    {
        for (int i = 0; i <= r; ++i)
            x[i] = std::cos(2.0 * sPi * grid[ext[i]]);
        // Forming the products in ld interleaved passes keeps them from
        // overflowing or underflowing for long filters.
        const int ld = (r - 1) / 15 + 1;
        for (int i = 0; i <= r; ++i) {
            double p = 1.0;
            for (int k = 0; k < ld; ++k)
                for (int j = k; j <= r; j += ld)
                    if (j != i)
                        p *= 2.0 * (x[i] - x[j]);
            if (std::fabs(p) < sMinProduct)
                p = sMinProduct;
            ad[i] = 1.0 / p;
        }
        double numer = 0.0;
        double denom = 0.0;
        double sign = 1.0;
        for (int i = 0; i <= r; ++i) {
            numer += ad[i] * d[ext[i]];
            denom += sign * ad[i] / w[ext[i]];
            sign = -sign;
        }
        const double delta = numer / denom;
        sign = 1.0;
        for (int i = 0; i <= r; ++i) {
            y[i] = d[ext[i]] - sign * delta / w[ext[i]];
            sign = -sign;
        }
    }

    double at(int r, double freq) const
    {
        const double xc = std::cos(2.0 * sPi * freq);
        double numer = 0.0;
        double denom = 0.0;
        for (int i = 0; i <= r; ++i) {
            double c = xc - x[i];
            if (std::fabs(c) < sSnap)
                return y[i];
            c = ad[i] / c;
            denom += c;
            numer += c * y[i];
        }
        return numer / denom;
    }
};

/// Local extrema of the error, in grid order.
std::vector<int> findCandidates(const std::vector<double>& e)
{
    std::vector<int> found;
    const int n = static_cast<int>(e.size());
    if (n == 1) {
        // A single point is its own extremum; with nothing to compare against
        // the end tests below would read outside the grid.
        if (e[0] != 0.0)
            found.push_back(0);
        return found;
    }
    if ((e[0] > 0.0 && e[0] > e[1]) || (e[0] < 0.0 && e[0] < e[1]))
        found.push_back(0);
    for (int i = 1; i < n - 1; ++i)
        if ((e[i] >= e[i - 1] && e[i] > e[i + 1] && e[i] > 0.0)
            || (e[i] <= e[i - 1] && e[i] < e[i + 1] && e[i] < 0.0))
            found.push_back(i);
    const int j = n - 1;
    if ((e[j] > 0.0 && e[j] > e[j - 1]) || (e[j] < 0.0 && e[j] < e[j - 1]))
        found.push_back(j);
    return found;
}

/// Thins the candidates down to r+1, removing one at a time: the smallest
/// error up to the first pair that does not alternate in sign, or, when all
/// alternate and one is surplus, the smaller of the two ends.
void removeSurplus(std::vector<int>& found, const std::vector<double>& e, int r)
{
    while (static_cast<int>(found.size()) > r + 1) {
        const int k = static_cast<int>(found.size());
        const int extra = k - (r + 1);
        bool up = e[found[0]] > 0.0;
        int l = 0;
        bool alternating = true;
        for (int j = 1; j < k; ++j) {
            if (std::fabs(e[found[j]]) < std::fabs(e[found[l]]))
                l = j;
            if (up && e[found[j]] < 0.0)
                up = false;
            else if (!up && e[found[j]] > 0.0)
                up = true;
            else {
                alternating = false;
                break;
            }
        }
        if (alternating && extra == 1)
            l = std::fabs(e[found[k - 1]]) < std::fabs(e[found[0]]) ? k - 1 : 0;
        found.erase(found.begin() + l);
    }
}

} // namespace

bool remezDesign(double* h, int numtaps, int numband, const double* bands, const double* des, const double* weight)
{
    if (h == nullptr || numtaps < 1)
        return false;
    std::fill(h, h + numtaps, 0.0);
    if (numband < 1 || bands == nullptr || des == nullptr || weight == nullptr)
        return false;

    const int r = numtaps / 2 + (numtaps % 2);

    // Dense grid: 16 points per extremal over 0 .. 0.5, each band from its
    // lower edge with its last point moved onto its upper edge. A band too
    // narrow for one point adds none and leaves the previous band alone.
    const double step = 0.5 / (sGridDensity * r);
    std::vector<double> grid;
    std::vector<double> d;
    std::vector<double> w;
    for (int band = 0; band < numband; ++band) {
        const double lower = bands[2 * band];
        const double upper = bands[2 * band + 1];
        const int k = std::max(0, static_cast<int>((upper - lower) / step + 0.5));
        double f = lower;
        for (int i = 0; i < k; ++i) {
            grid.push_back(f);
            d.push_back(des[band]);
            w.push_back(weight[band]);
            f += step;
        }
        if (k > 0)
            grid.back() = upper;
    }
    const int gridSize = static_cast<int>(grid.size());
    if (gridSize == 0)
        return false;

    std::vector<int> ext(r + 1);
    for (int i = 0; i <= r; ++i)
        ext[i] = static_cast<int>(static_cast<long long>(i) * (gridSize - 1) / r);

    // An even length has a zero at 0.5 built in: approximate D / cos(pi f)
    // with weight W cos(pi f), and multiply the cosine back in at the end.
    if (numtaps % 2 == 0) {
        for (int i = 0; i < gridSize; ++i) {
            const double c = std::cos(sPi * grid[i]);
            d[i] /= c;
            w[i] *= c;
        }
    }

    Interpolation interp{std::vector<double>(r + 1), std::vector<double>(r + 1), std::vector<double>(r + 1)};
    std::vector<double> e(gridSize);
    bool converged = false;
    for (int iter = 0; iter < sMaxIterations; ++iter) {
        interp.compute(r, ext, grid, d, w);
        for (int i = 0; i < gridSize; ++i)
            e[i] = w[i] * (d[i] - interp.at(r, grid[i]));
        std::vector<int> found = findCandidates(e);
        if (static_cast<int>(found.size()) < r + 1)
            break; // an incomplete set cannot be exchanged: keep the last one
        removeSurplus(found, e, r);
        std::copy(found.begin(), found.begin() + r + 1, ext.begin());

        double smallest = std::fabs(e[ext[0]]);
        double largest = smallest;
        for (int i = 1; i <= r; ++i) {
            const double current = std::fabs(e[ext[i]]);
            smallest = std::min(smallest, current);
            largest = std::max(largest, current);
        }
        if ((largest - smallest) / largest < sConvergence) {
            converged = true;
            break;
        }
    }
    if (!converged)
        std::cerr << "Reached maximum iteration count.\nResults may be bad.\n" << std::flush;

    interp.compute(r, ext, grid, d, w);

    std::vector<double> a(numtaps / 2 + 1);
    for (int i = 0; i <= numtaps / 2; ++i) {
        const double c = numtaps % 2 ? 1.0 : std::cos(sPi * i / numtaps);
        a[i] = interp.at(r, static_cast<double>(i) / numtaps) * c;
    }

    // Frequency sampling: the inverse DFT of the real, symmetric amplitude
    // samples, centred on the middle tap (a half-sample centre for even N).
    const double m = (numtaps - 1.0) / 2.0;
    const int last = numtaps % 2 ? static_cast<int>(m) : numtaps / 2 - 1;
    for (int n = 0; n < numtaps; ++n) {
        const double theta = 2.0 * sPi * (n - m) / numtaps;
        double value = a[0];
        for (int k = 1; k <= last; ++k)
            value += 2.0 * a[k] * std::cos(theta * k);
        h[n] = value / numtaps;
    }
    // Very long filters with wide transitions overflow the barycentric
    // products; taps that are not numbers must not reach a signal.
    if (!std::all_of(h, h + numtaps, [](double v) { return std::isfinite(v); })) {
        std::fill(h, h + numtaps, 0.0);
        return false;
    }
    return true;
}

bool remezBands(FilterType type, double f1, double f2, double t, double w, std::vector<double>& bands,
                std::vector<double>& des, std::vector<double>& weights)
{
    switch (type) {
    case LowPass:
        bands = {0.0, f1, f1 + t, 0.5};
        des = {1.0, 0.0};
        weights = {1.0, w};
        return true;
    case BandPass:
        bands = {0.0, f1 - t, f1, f2, f2 + t, 0.5};
        des = {0.0, 1.0, 0.0};
        weights = {w, 1.0, w};
        return true;
    case BandStop:
        bands = {0.0, f1, f1 + t, f2 - t, f2, 0.5};
        des = {1.0, 0.0, 1.0};
        weights = {1.0, w, 1.0};
        return true;
    case HighPass:
        bands = {0.0, f1 - t, f1, 0.5};
        des = {0.0, 1.0};
        weights = {w, 1.0};
        return true;
    default:
        return false;
    }
}

} // namespace SoundTools
