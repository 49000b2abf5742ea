// The noise-like programme the benchmarks run on: noise and a 220 Hz tone
// under a slow 0.7 Hz swell, the same for every run.
#pragma once

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

inline std::vector<float> benchProgramme(int rate, std::size_t length)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(length);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double swell = 0.55 + 0.45 * std::sin(2.0 * M_PI * 0.7 * t);
        x[i] = static_cast<float>(swell * (0.4 * u(rng) + 0.2 * std::sin(2.0 * M_PI * 220.0 * t)));
    }
    return x;
}
