#include "Order1FilterBuilder.h"

#include "Order1Filter.h"

#include <QDebug>

#include <cmath>

namespace SoundTools {

namespace {

constexpr double kPi = 3.14159265358979323846264338328;

bool isUsable(const double b[2], const double a[2])
{
    // One pole at -a1/a0, which must lie strictly inside the unit circle.
    return std::isfinite(b[0]) && std::isfinite(b[1]) && std::isfinite(a[0]) && std::isfinite(a[1]) && a[0] != 0.0
        && std::fabs(a[1]) < std::fabs(a[0]);
}

} // namespace

Order1FilterBuilder::Order1FilterBuilder(FilterType t, double f)
    : type(t)
    , freq(f)
{
}

std::shared_ptr<Filter> Order1FilterBuilder::buildFilter(unsigned sampleRate)
{
    double b[2] = {1.0, 0.0};
    double a[2] = {1.0, 0.0};
    if (type != LowPass && type != HighPass) {
        qCritical() << "Unsupported FirstOrderFilter Eq mode :" << static_cast<int>(type);
        return std::make_shared<Order1Filter>(b, a);
    }
    const double fs = static_cast<double>(sampleRate);
    double f = freq;
    if (!(f > 0.0 && f < fs * 0.5)) {
        f = f >= 1.0 ? f : 1.0;
        f = f <= fs * 0.49 ? f : fs * 0.49;
    }
    const double K = 1.0 / std::tan(kPi * f / fs);
    if (type == LowPass) {
        b[0] = b[1] = 1.0 / (K + 1.0);
        a[0] = 1.0;
        a[1] = (1.0 - K) / (K + 1.0);
    } else {
        b[0] = K;
        b[1] = -K;
        a[0] = K + 1.0;
        a[1] = 1.0 - K;
    }
    if (!isUsable(b, a)) {
        // Only a degenerate sample rate (0) gets here: pass the signal unchanged.
        b[0] = a[0] = 1.0;
        b[1] = a[1] = 0.0;
    }
    return std::make_shared<Order1Filter>(b, a);
}

} // namespace SoundTools
