#include "Order6Filter.h"

namespace SoundTools {

namespace {

std::valarray<double> padTo7(std::valarray<double> v)
{
    if (v.size() >= 7)
        return v;
    std::valarray<double> padded(0.0, 7);
    for (std::size_t i = 0; i < v.size(); ++i)
        padded[i] = v[i];
    return padded;
}

} // namespace

Order6Filter::Order6Filter(std::valarray<double> feedForward, std::valarray<double> feedback)
    : Filter(padTo7(std::move(feedForward)), padTo7(std::move(feedback)))
{
}

void Order6Filter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    if (order != 7) {
        // Built from longer arrays: only the general loop covers every term.
        Filter::filter(in, out, n);
        return;
    }
    const double r = 1.0 / a[0];
    const double g = gain;
    const double c0 = b[0], c1 = b[1], c2 = b[2], c3 = b[3], c4 = b[4], c5 = b[5], c6 = b[6];
    const double d1 = a[1], d2 = a[2], d3 = a[3], d4 = a[4], d5 = a[5], d6 = a[6];
    // Delay lines in locals: x[k] / y[k] is the frame k + 1 back.
    StereoFrame<double> x[6], y[6];
    for (int k = 0; k < 6; ++k) {
        x[k] = inputHistory[k];
        y[k] = outputHistory[k];
    }
    for (unsigned t = 0; t < n; ++t) {
        const StereoFrame<double> v = in[t];
        double yl = c0 * v.left + c1 * x[0].left + c2 * x[1].left + c3 * x[2].left + c4 * x[3].left
            + c5 * x[4].left + c6 * x[5].left;
        double yr = c0 * v.right + c1 * x[0].right + c2 * x[1].right + c3 * x[2].right + c4 * x[3].right
            + c5 * x[4].right + c6 * x[5].right;
        yl = yl - d1 * y[0].left - d2 * y[1].left - d3 * y[2].left - d4 * y[3].left - d5 * y[4].left
            - d6 * y[5].left;
        yr = yr - d1 * y[0].right - d2 * y[1].right - d3 * y[2].right - d4 * y[3].right - d5 * y[4].right
            - d6 * y[5].right;
        yl *= r;
        yr *= r;
        for (int k = 5; k > 0; --k) {
            x[k] = x[k - 1];
            y[k] = y[k - 1];
        }
        x[0] = v;
        y[0] = {yl, yr};
        out[t].left = yl * g;
        out[t].right = yr * g;
    }
    for (int k = 0; k < 6; ++k) {
        inputHistory[k] = x[k];
        outputHistory[k] = y[k];
    }
}

} // namespace SoundTools
