#include "get_fco.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace SoundTools {

namespace {

constexpr double kStepOctaves = 0.003662109375; // 15 / 4096
constexpr std::size_t kSteps = 4096;

const std::array<double, kSteps>& ratioTable()
{
    // Built once, on first use; the initialisation of a function-local static
    // is thread-safe, so two first callers cannot see a half-filled table.
    static const std::array<double, kSteps> table = [] {
        std::array<double, kSteps> t{};
        double exponent = 0.0;
        for (std::size_t k = 0; k < kSteps; ++k) {
            t[k] = std::pow(2.0, exponent);
            exponent += kStepOctaves; // accumulated, as the quantisation grid always was
        }
        return t;
    }();
    return table;
}

} // namespace

void get_fco(double lowFreq, double highFreq, double& centreFreq, double& widthOctaves)
{
    const auto& table = ratioTable();
    const double ratio = highFreq / lowFreq;
    // The table grows strictly, so the first entry above the ratio is the
    // upper bound of a binary search (a NaN ratio compares false everywhere
    // and lands past the end, as a linear search would).
    std::size_t k = static_cast<std::size_t>(
        std::upper_bound(table.begin(), table.end(), ratio, [](double r, double t) { return t > r; })
        - table.begin());
    if (k > 0)
        k -= 1;
    widthOctaves = (static_cast<double>(k) + 0.5) * kStepOctaves;
    centreFreq = std::pow(2.0, widthOctaves / 2.0) * lowFreq;
}

} // namespace SoundTools
