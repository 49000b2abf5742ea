// Placeholder: forwards to the C library until the chain's own functions land.
#include "dsp/chainmath.h"

#include <cmath>

namespace chainmath {

float exp(float x) { return std::exp(x); }
float tan(float x) { return std::tan(x); }
float atan(float x) { return std::atan(x); }
float pow(float x, float y) { return std::pow(x, y); }
float sin(float x) { return std::sin(x); }

}  // namespace chainmath
