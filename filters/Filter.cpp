#include "Filter.h"

#include <algorithm>

namespace SoundTools {

Filter::Filter(std::valarray<double> feedForward, std::valarray<double> feedback)
    : order(static_cast<unsigned>(std::max(feedForward.size(), feedback.size())))
    , b(0.0, order)
    , a(0.0, order)
    , gain(1.0)
    , inputHistory(StereoFrame<double>{0.0, 0.0}, order)
    , outputHistory(StereoFrame<double>{0.0, 0.0}, order)
{
    for (std::size_t i = 0; i < feedForward.size(); ++i)
        b[i] = feedForward[i];
    for (std::size_t i = 0; i < feedback.size(); ++i)
        a[i] = feedback[i];
}

Filter::Filter(const Filter& other)
    : order(other.order)
    , b(other.b)
    , a(other.a)
    , gain(other.gain)
    , inputHistory(StereoFrame<double>{0.0, 0.0}, other.order)
    , outputHistory(StereoFrame<double>{0.0, 0.0}, other.order)
{
}

Filter& Filter::operator=(const Filter& other)
{
    if (this == &other)
        return *this;
    order = other.order;
    // valarray assignment between different lengths is only defined since
    // C++11; resizing first keeps it plain on every library.
    if (b.size() != other.b.size())
        b.resize(other.b.size());
    b = other.b;
    if (a.size() != other.a.size())
        a.resize(other.a.size());
    a = other.a;
    inputHistory = std::valarray<StereoFrame<double>>(StereoFrame<double>{0.0, 0.0}, order);
    outputHistory = std::valarray<StereoFrame<double>>(StereoFrame<double>{0.0, 0.0}, order);
    return *this;
}

Filter::~Filter() = default;

void Filter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned n)
{
    const double r = 1.0 / a[0];
    const int last = static_cast<int>(order) - 2;
    for (unsigned t = 0; t < n; ++t) {
        const StereoFrame<double> x = in[t];
        double accL = b[0] * x.left;
        double accR = b[0] * x.right;
        for (int k = last; k >= 0; --k) {
            accL += b[k + 1] * inputHistory[k].left;
            accR += b[k + 1] * inputHistory[k].right;
            accL -= a[k + 1] * outputHistory[k].left;
            accR -= a[k + 1] * outputHistory[k].right;
            if (k > 0) {
                inputHistory[k] = inputHistory[k - 1];
                outputHistory[k] = outputHistory[k - 1];
            }
        }
        const StereoFrame<double> y{accL * r, accR * r};
        inputHistory[0] = x;
        outputHistory[0] = y;
        out[t].left = y.left * gain;
        out[t].right = y.right * gain;
    }
}

} // namespace SoundTools
