// Always-on internal checks and safe numeric conversions for host-supplied values.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace plumbra {

// Reports a broken internal invariant in the C runtime's assertion style and
// stops the program. Kept in every build type: a failing check means a table
// access that would otherwise read outside its storage.
[[noreturn]] inline void checkFailed(const char* expression, int line)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, "Halvex_Plumbra-Vektis", line);
    std::fflush(stderr);
    std::abort();
}

// Truncates toward zero into the 32-bit range: values beyond it are held at
// its ends (the plain conversion would be undefined there), NaN gives 0.
inline int32_t truncateToInt32(double x)
{
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(x);
}

}  // namespace plumbra

#define PLUMBRA_CHECK(expression) \
    ((expression) ? static_cast<void>(0) : ::plumbra::checkFailed(#expression, __LINE__))
