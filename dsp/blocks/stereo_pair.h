// The pseudo-stereo pair that the decorrelator hands to the band blocks.
#pragma once

namespace plumbra {

struct StereoPair {
    float left;   // programme plus its decorrelated copy, x + d
    float right;  // programme minus its decorrelated copy, x - d
};

}  // namespace plumbra
