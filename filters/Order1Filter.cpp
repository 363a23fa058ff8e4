#include "Order1Filter.h"

namespace SoundTools {

namespace {

template <bool Normalise>
void run(const double* b, const double* a, double r, double g, StereoFrame<double>& x1, StereoFrame<double>& y1,
         const StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    const double b0 = b[0], b1 = b[1], a1 = a[1];
    double x1L = x1.left, x1R = x1.right, y1L = y1.left, y1R = y1.right;
    for (unsigned t = 0; t < n; ++t) {
        const double l = in[t].left;
        const double rt = in[t].right;
        double yl = (b1 * x1L + b0 * l) - a1 * y1L;
        double yr = (b1 * x1R + b0 * rt) - a1 * y1R;
        if (Normalise) {
            yl *= r;
            yr *= r;
        }
        x1L = l;
        x1R = rt;
        y1L = yl;
        y1R = yr;
        out[t].left = yl * g;
        out[t].right = yr * g;
    }
    x1 = {x1L, x1R};
    y1 = {y1L, y1R};
}

} // namespace

Order1Filter::Order1Filter(const double feedForward[2], const double feedback[2])
    : Filter(std::valarray<double>(feedForward, 2), std::valarray<double>(feedback, 2))
{
}

void Order1Filter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    const double r = 1.0 / a[0];
    // The first-order high-pass keeps a0 = K + 1 unnormalised; otherwise a0 is
    // 1 and the (exact) product by 1.0 is left out of the recursion.
    if (r != 1.0)
        run<true>(&b[0], &a[0], r, gain, inputHistory[0], outputHistory[0], in, out, n);
    else
        run<false>(&b[0], &a[0], r, gain, inputHistory[0], outputHistory[0], in, out, n);
}

} // namespace SoundTools
