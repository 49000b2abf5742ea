// The LV2 plug-in's port layout, shared by the plug-in and by the generator
// of its description, so that port indices cannot disagree between the two.
#pragma once

#include <cstdint>

#include "dsp/controls.h"
#include "dsp/meters.h"

namespace plumbra::lv2 {

// Audio: two inputs (the processor reads the first) and two outputs, each pair
// a stereo group. Then the nineteen controls in host parameter order, then the
// reported latency, then one output control port per meter in the meter
// table's order (appended last, so that the earlier ports keep their indices).
inline constexpr uint32_t kPortInLeft = 0;
inline constexpr uint32_t kPortInRight = 1;
inline constexpr uint32_t kPortOutLeft = 2;
inline constexpr uint32_t kPortOutRight = 3;
inline constexpr uint32_t kPortFirstControl = 4;
inline constexpr uint32_t kPortLatency = kPortFirstControl + kNumControls;
inline constexpr uint32_t kPortFirstMeter = kPortLatency + 1;
inline constexpr uint32_t kPortCount = kPortFirstMeter + static_cast<uint32_t>(kNumMeters);
static_assert(kPortLatency == 23, "the ports before the meters keep their indices");

// Rate used when the host's rate is not a finite number: the rate the VST 2
// build starts at and keeps when its host sends such a rate.
inline constexpr float kFallbackRate = 44100.0f;

}  // namespace plumbra::lv2
