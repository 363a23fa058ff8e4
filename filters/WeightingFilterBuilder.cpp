#include "WeightingFilterBuilder.h"

#include "Order6Filter.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

namespace SoundTools {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

std::valarray<double> convolve(const std::valarray<double>& u, const std::valarray<double>& v)
{
    std::valarray<double> w(0.0, u.size() + v.size() - 1);
    for (std::size_t i = 0; i < u.size(); ++i)
        for (std::size_t j = 0; j < v.size(); ++j)
            w[i + j] += u[i] * v[j];
    return w;
}

double largestMagnitude(const std::valarray<double>& v)
{
    return std::abs(v).max();
}

} // namespace

WeightingFilterBuilder::WeightingFilterBuilder() = default;

void WeightingFilterBuilder::buildCBiquad(double f1, double f2, double fs, std::valarray<double>* out)
{
    const double K = 2.0 * fs;
    const double w1 = kTwoPi * f1;
    const double w2 = kTwoPi * f2;
    const double D = 2.0 * w1 * K + K * K + w1 * w1;
    out[0].resize(3);
    out[1].resize(3);
    out[0][0] = w2 * K / D;
    out[0][1] = 0.0;
    out[0][2] = -w2 * K / D;
    out[1][0] = 1.0;
    out[1][1] = (2.0 * w1 * w1 - 2.0 * K * K) / D;
    out[1][2] = (K * K - 2.0 * w1 * K + w1 * w1) / D;
}

void WeightingFilterBuilder::buildABiquad(double f1, double f2, double fs, std::valarray<double>* out)
{
    const double K = 2.0 * fs;
    const double w1 = kTwoPi * f1;
    const double w2 = kTwoPi * f2;
    const double P = w1 * w2;
    const double D = K * w1 + K * K + K * w2 + P;
    out[0].resize(3);
    out[1].resize(3);
    out[0][0] = K * K / D;
    out[0][1] = -2.0 * K * K / D;
    out[0][2] = K * K / D;
    out[1][0] = 1.0;
    out[1][1] = (2.0 * P - 2.0 * K * K) / D;
    out[1][2] = (P - K * w1 - K * w2 + K * K) / D;
}

std::shared_ptr<Filter> WeightingFilterBuilder::buildFilter(unsigned sampleRate)
{
    const double fs = static_cast<double>(sampleRate);
    std::valarray<double> c1[2], c2[2], a1[2];
    buildCBiquad(20.6, 12194.0, fs, c1);
    buildCBiquad(12194.0, 12194.0, fs, c2);
    buildABiquad(107.7, 737.9, fs, a1);

    // The two factors together lift 1 kHz to 0 dB: 0.062 dB for the
    // C-weighting part, 1.938 dB for the A-weighting part.
    std::valarray<double> cNum = convolve(c2[0], c1[0]) * std::pow(10.0, 0.0031);
    std::valarray<double> cDen = convolve(c2[1], c1[1]);
    std::valarray<double> num = convolve(cNum, a1[0]) * std::pow(10.0, 0.0969);
    std::valarray<double> den = convolve(cDen, a1[1]);

    const double m = std::max(largestMagnitude(num), largestMagnitude(den));
    num /= m;
    den /= m;

    qDebug() << "===========================";
    for (std::size_t i = 0; i < num.size(); ++i)
        qDebug() << "AWeightB"
                 << "[" << i << "]=" << num[i];
    qDebug() << "===========================";
    for (std::size_t i = 0; i < den.size(); ++i)
        qDebug() << "AWeightA"
                 << "[" << i << "]=" << den[i];

    return std::make_shared<Order6Filter>(num, den);
}

} // namespace SoundTools
