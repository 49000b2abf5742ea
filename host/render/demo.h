// The built-in demo programme: about 30 s of mono material at 44100 Hz that
// exercises the processor the way programme audio does: quiet and loud
// speech-like passages, a pause with a faint noise floor, loud bright music,
// quiet dull music, and speech over a music bed. Generated in code from a
// seeded generator with double-precision arithmetic that depends on no
// mathematics library, so it is the same on every platform and every run.
#pragma once

#include <memory>
#include <vector>

#include "host/audio/audio_io.h"

namespace plumbra::host {

constexpr int kDemoRate = 44100;
constexpr double kDemoSeconds = 30.0;

// The first `seconds` (at most kDemoSeconds) of the programme, mono.
std::vector<float> demoProgramme(double seconds = kDemoSeconds);

// The programme as an audio source (nominally 24-bit WAV, so outputs follow that).
std::unique_ptr<AudioSource> makeDemoSource(double seconds = kDemoSeconds);

}  // namespace plumbra::host
