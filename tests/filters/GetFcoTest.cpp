// Band centre and quantised width: the width index is the largest k with 2^(k step) <= high/low.

#include "get_fco.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

namespace {
constexpr double kStep = 15.0 / 4096.0;
}

TEST(GetFco, QuantisedWidthAndCentre)
{
    double fc = 0, w = 0;
    SoundTools::get_fco(1000, 2000, fc, w);
    EXPECT_DOUBLE_EQ(w, 273.5 * kStep);
    EXPECT_DOUBLE_EQ(fc, std::pow(2.0, w / 2) * 1000);
    // Reversed band: the smallest width; beyond 15 octaves: the largest.
    SoundTools::get_fco(2000, 1000, fc, w);
    EXPECT_DOUBLE_EQ(w, 0.0018310546875);
    SoundTools::get_fco(1, 1e6, fc, w);
    EXPECT_DOUBLE_EQ(w, 14.9981689453125);
    EXPECT_DOUBLE_EQ(fc, std::pow(2.0, w / 2));
}

TEST(GetFco, SameAnswersFromConcurrentFirstCalls)
{
    // Ratios mid-step, so that the logarithm's rounding cannot move them across a step boundary.
    std::vector<double> ratios;
    for (int k = 0; k < 4095; k += 37)
        ratios.push_back(std::pow(2.0, (k + 0.5) * kStep));
    std::vector<std::vector<double>> widths(8, std::vector<double>(ratios.size()));
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < widths.size(); ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < ratios.size(); ++i) {
                double fc;
                SoundTools::get_fco(100.0, 100.0 * ratios[i], fc, widths[t][i]);
            }
        });
    for (auto& th : threads)
        th.join();
    for (std::size_t i = 0; i < ratios.size(); ++i) {
        const double k = std::floor(std::log2(ratios[i]) / kStep);
        for (const auto& w : widths)
            ASSERT_DOUBLE_EQ(w[i], (k + 0.5) * kStep) << "ratio " << ratios[i];
    }
}
