// Single-precision mathematics of the signal chain.
//
// The C libraries of Linux and Windows round expf, tanf, atanf, powf and sinf
// differently in the last bit, and the chain amplifies a one-ulp difference
// anywhere upstream into an audible one. These functions are the chain's own:
// faithfully rounded, and giving the same bits on every x86 build with SSE2.
#pragma once

namespace chainmath {

float exp(float x);
float tan(float x);
float atan(float x);
float pow(float x, float y);
float sin(float x);

// Decibels to a linear factor, 10^(x/20), in the chain's conventional form.
inline float dbToLinear(float db) { return chainmath::pow(10.0f, 0.05f * db); }

}  // namespace chainmath
