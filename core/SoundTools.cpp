#include "SoundTools.h"

#include <cmath>

namespace SoundTools {

const double sLn2Half = std::log(2.0) * 0.5;

int secondsToFrames(double seconds, unsigned sampleRate)
{
    return static_cast<int>(std::floor(seconds * sampleRate + 0.5));
}

double dbToLinear(double db)
{
    return std::pow(10.0, db / 20.0);
}

double linearToDb(double x)
{
    return x > 1e-20 ? 20.0 * std::log10(x) : -100.0;
}

} // namespace SoundTools
