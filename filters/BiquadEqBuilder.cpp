#include "BiquadEqBuilder.h"

#include "BiquadFilter.h"
#include "SoundTools.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <limits>

namespace SoundTools {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;
// Guarded designs keep the frequency a little below Fs/2: at Fs/2 itself
// sin(w0) vanishes and every design degenerates.
constexpr double kMaxFreqRatio = 0.49;
constexpr double kMinFreqHz = 1.0;
constexpr double kMinWidth = 0.0001;
constexpr double kMaxGainDb = 120.0;
// sinh(10) ~ 1.1e4 keeps alpha, hence the pole radius, clear of 1 in double
// precision while changing nothing for ordinary widths below 0.49 Fs.
constexpr double kMaxSinhArg = 10.0;

double clampFreq(double f, double fs)
{
    if (!(f >= kMinFreqHz))
        f = kMinFreqHz;
    if (f > fs * kMaxFreqRatio)
        f = fs * kMaxFreqRatio;
    return f;
}

double clampGain(double g)
{
    if (std::isnan(g))
        return 0.0;
    return g < -kMaxGainDb ? -kMaxGainDb : (g > kMaxGainDb ? kMaxGainDb : g);
}

/// True when a section at `f` with `octaves` of bandwidth reaches the top of
/// the band: the cookbook's bandwidth term, divided by sin w0, then grows
/// without bound and widens the section over the whole band.
bool nearTop(double f, double octaves, double fs)
{
    const double top = fs * kMaxFreqRatio;
    return f >= top || (octaves > 0.0 && f * std::exp2(octaves / 2.0) > top);
}

} // namespace

BiquadEqBuilder::BiquadEqBuilder(FilterType t, double f, double w, double g)
    : type(t)
    , freq(f)
    , width(w)
    , gain(g)
{
}

bool BiquadEqBuilder::isUsable() const
{
    // Finite coefficients inside the stability triangle of a second-order
    // recursion: |a2| < 1 and |a1| < 1 + a2 put both poles strictly inside the
    // unit circle.
    return std::isfinite(b0) && std::isfinite(b1) && std::isfinite(b2) && std::isfinite(a1) && std::isfinite(a2)
        && std::fabs(a2) < 1.0 && std::fabs(a1) < 1.0 + a2;
}

void BiquadEqBuilder::passAlpha(double fs, bool safe, double& c, double& alpha) const
{
    double f = freq;
    double bw = width;
    // No width on a low- or high-pass: Butterworth, Q = 1/sqrt(2).
    const bool butterworth = (type == LowPass || type == HighPass) && bw <= 0.0;
    if (safe) {
        f = clampFreq(f, fs);
        if (!(bw >= kMinWidth))
            bw = kMinWidth;
    } else if (!(f > 0.0 && f < fs * 0.5)) {
        // 0 gives 0/0 below, and above Fs/2 the formula folds back into an
        // aliased filter: leave it to the guarded design.
        c = 0.0;
        alpha = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    const bool top = nearTop(f, bw, fs);
    if (top)
        f = std::min(f, fs * kMaxFreqRatio);
    const double w0 = kTwoPi * f / fs;
    c = std::cos(w0);
    const double s = std::sin(w0);
    if (butterworth) {
        alpha = s / std::sqrt(2.0);
        return;
    }
    // Near the top the width keeps its analogue meaning (Q from octaves
    // without the w0 / sin w0 stretch), so the section stays at the top.
    double arg = top ? sLn2Half * bw : sLn2Half * bw * w0 / s;
    if (safe && !(arg <= kMaxSinhArg))
        arg = kMaxSinhArg;
    alpha = s * std::sinh(arg);
}

void BiquadEqBuilder::buildLowPass(double fs, bool safe)
{
    if (freq >= fs * kMaxFreqRatio && fs > 0.0) {
        // Everything that exists passes.
        b0 = 1.0;
        b1 = b2 = a1 = a2 = 0.0;
        return;
    }
    double c, alpha;
    passAlpha(fs, safe, c, alpha);
    const double k = 1.0 / (1.0 + alpha);
    b0 = (1.0 - c) * k * 0.5;
    b2 = b0;
    b1 = (1.0 - c) * k;
    a1 = -(2.0 * c * k);
    a2 = (1.0 - alpha) * k;
}

void BiquadEqBuilder::buildHighPass(double fs, bool safe)
{
    double c, alpha;
    passAlpha(fs, safe, c, alpha);
    // Single precision on the normaliser is the established design; it can put
    // a pole a few 1e-9 outside the unit circle at a few Hz, which is why the
    // guarded design keeps it in double.
    const double k = safe ? 1.0 / (1.0 + alpha) : static_cast<float>(1.0 / (1.0 + alpha));
    b0 = (1.0 + c) * k * 0.5;
    b2 = b0;
    b1 = -((1.0 + c) * k);
    a1 = 2.0 * c * (-k);
    a2 = (1.0 - alpha) * k;
}

void BiquadEqBuilder::buildBandPass(double fs, bool safe)
{
    double c, alpha;
    passAlpha(fs, safe, c, alpha);
    const double k = safe ? 1.0 / (1.0 + alpha) : static_cast<float>(1.0 / (1.0 + alpha));
    // Constant 0 dB peak gain.
    b0 = alpha * k;
    b1 = 0.0;
    b2 = -(alpha * k);
    a1 = 2.0 * c * (-k);
    a2 = (1.0 - alpha) * k;
}

void BiquadEqBuilder::buildBandEq(double fs, bool safe)
{
    double f = freq;
    if (f < 1.0)
        f = 1.0;
    else if (f > fs * 0.5)
        f = fs * 0.5;
    double bw = width < kMinWidth ? kMinWidth : (width > 4.0 ? 4.0 : width);
    double g = gain;
    if (safe) {
        f = clampFreq(f, fs);
        if (std::isnan(bw))
            bw = kMinWidth;
        g = clampGain(g);
    }
    const bool top = nearTop(f, bw, fs);
    if (top)
        f = std::min(f, fs * kMaxFreqRatio);
    const double w0 = kTwoPi * f / fs;
    const double c = std::cos(w0);
    const double s = std::sin(w0);
    const double A = std::pow(10.0, g * 0.025); // 10^(dB/40): the peak gain is A^2
    // Near the top the width keeps its analogue meaning, as for the pass filters.
    double arg = top ? bw * sLn2Half : bw * sLn2Half * w0 / s;
    if (safe && !(arg <= kMaxSinhArg))
        arg = kMaxSinhArg;
    const double alpha = s * std::sinh(arg);
    const double k = 1.0 / (1.0 + alpha / A);
    b0 = (1.0 + alpha * A) * k;
    b1 = -2.0 * c * k;
    b2 = (1.0 - alpha * A) * k;
    a1 = -2.0 * c * k;
    a2 = (1.0 - alpha / A) * k;
}

void BiquadEqBuilder::buildShelf(double fs, bool safe, bool high)
{
    double f = freq;
    if (f < 1.0)
        f = 1.0;
    else if (f > fs * 0.5)
        f = fs * 0.5;
    double slope = width < kMinWidth ? kMinWidth : (width > 1.0 ? 1.0 : width);
    double g = gain;
    if (safe) {
        f = clampFreq(f, fs);
        if (std::isnan(slope))
            slope = kMinWidth;
        g = clampGain(g);
    }
    const double w0 = kTwoPi * f / fs;
    const double c = std::cos(w0);
    const double s = std::sin(w0);
    // The shelf gain is held in single precision (exponent and power).
    const double A = static_cast<float>(std::pow(10.0, static_cast<double>(static_cast<float>(g * 0.025))));
    const double beta = s * std::sqrt((A * A + 1.0) / slope - (A - 1.0) * (A - 1.0)); // 2 sqrt(A) alpha
    const double p = high ? (A + 1.0) - (A - 1.0) * c : (A + 1.0) + (A - 1.0) * c;
    const double m = high ? (A + 1.0) + (A - 1.0) * c : (A + 1.0) - (A - 1.0) * c;
    const double k = 1.0 / (p + beta);
    b0 = (m + beta) * (k * A);
    b2 = (m - beta) * (k * A);
    a2 = (p - beta) * k;
    if (high) {
        b1 = ((A - 1.0) + (A + 1.0) * c) * (-2.0 * k * A);
        a1 = ((A - 1.0) - (A + 1.0) * c) * (2.0 * k);
    } else {
        b1 = ((A - 1.0) - (A + 1.0) * c) * (2.0 * k * A);
        a1 = ((A - 1.0) + (A + 1.0) * c) * (-2.0 * k);
    }
}

void BiquadEqBuilder::buildLowShelf(double fs, bool safe)
{
    buildShelf(fs, safe, false);
}

void BiquadEqBuilder::buildHighShelf(double fs, bool safe)
{
    buildShelf(fs, safe, true);
}

bool BiquadEqBuilder::design(double fs, bool safe)
{
    switch (type) {
    case LowPass: buildLowPass(fs, safe); return true;
    case BandPass: buildBandPass(fs, safe); return true;
    case HighPass: buildHighPass(fs, safe); return true;
    case LowShelf: buildLowShelf(fs, safe); return true;
    case BandEq: buildBandEq(fs, safe); return true;
    case HighShelf: buildHighShelf(fs, safe); return true;
    default: return false;
    }
}

std::shared_ptr<Filter> BiquadEqBuilder::buildFilter(unsigned sampleRate)
{
    const double fs = static_cast<double>(sampleRate);
    if (!design(fs, false)) {
        // The previous coefficients stay; they are a unity section when no
        // design ever succeeded.
        qCritical() << "Unsupported Biquad Eq mode :" << static_cast<int>(type);
    } else if (!isUsable()) {
        design(fs, true);
        if (!isUsable()) {
            // Only a degenerate sample rate (0) gets here: pass the signal unchanged.
            b0 = 1.0;
            b1 = b2 = a1 = a2 = 0.0;
        }
    }
    const double ff[3] = {b0, b1, b2};
    const double fb[3] = {1.0, a1, a2};
    return std::make_shared<BiquadFilter>(ff, fb);
}

} // namespace SoundTools
