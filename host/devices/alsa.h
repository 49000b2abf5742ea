// ALSA PCMs as a live device: one capture PCM (the programme, stereo or a
// single channel) and one playback PCM (stereo), driven by a real-time thread
// that reads a period, runs the callback and writes the period.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/devices/device.h"

namespace plumbra::host::devices {

// `in` and `out` are ALSA PCM names ("hw:0", "default", a PCM of an asoundrc).
// `rate` 0 means 48000 Hz, `period` 0 means 256 frames. Nothing is opened
// before start().
std::unique_ptr<Device> makeAlsaDevice(const std::string& in, const std::string& out, int rate, int period);

// The sample formats a device may negotiate, in order of preference, and the
// conversions between them and the callback's float channels. Exposed for tests.
namespace alsa_format {

enum class Sample { kFloat, kS32, kS16 };

int bytesPerSample(Sample s);
// Interleaved `channels`-channel frames of format `s` into float channels
// (`to[c]` for c < channels).
void toFloat(Sample s, const void* interleaved, int channels, float* const* to, int frames);
// Float channels into interleaved frames; out-of-range values are clipped for
// the integer formats.
void fromFloat(Sample s, const float* const* from, int channels, void* interleaved, int frames);

}  // namespace alsa_format

}  // namespace plumbra::host::devices
