// The VST 3 plug-in object and what the module tells hosts about it.
//
// One object is component, audio processor and edit controller at once, and
// the factory registers one class. The processor's controls live inside the
// processor, so a separate controller would only hold a copy that messages
// between the two objects keep in step; one object reads and writes the same
// values the audio thread uses, as the VST 2 build does, and hosts accept it
// (they query the component for the controller interface first).
//
// Parameter changes inside a block: each queue's last value is applied at the
// start of the block. The processor reads its controls once per block, so
// splitting the block at change points would change nothing but the block
// sizes, and block-rate values render exactly as the VST 2 build does when a
// host sets its parameters between blocks.
#pragma once

#include "vst3/abi.h"

namespace plumbra::vst3 {

// The module's identification, as the factory and moduleinfo.json give it.
inline constexpr const char* kVendor = "Halvex";
inline constexpr const char* kUrl = "https://halvex.example/plumbra-vektis";
inline constexpr const char* kEmail = "plumbra@halvex.example";
inline constexpr const char* kClassName = "Halvex_Plumbra-Vektis";
inline constexpr const char* kSubCategories = "Fx|Dynamics|Mastering";
inline constexpr const char* kSdkVersion = "VST 3.7.14";
// The class ID's four words; the same on every platform.
inline constexpr uint32 kClassWords[4] = {0x504C4D42, 0x5645544B, 0x49534856, 0x33000001};
inline const Uid kClassId = makeUid(kClassWords[0], kClassWords[1], kClassWords[2], kClassWords[3]);

// Parameter IDs: the nineteen controls by their index, then bypass.
inline constexpr ParamID kBypassId = 19;
inline constexpr int32 kParameterCount = 20;

// State chunk: "PVK3", format version, value count, then the nineteen plain
// values and bypass (0 or 1) as 32-bit floats, all little-endian.
inline constexpr char kStateMagic[4] = {'P', 'V', 'K', '3'};
inline constexpr uint32 kStateVersion = 1;
inline constexpr int kStateBytes = 12 + 4 * kParameterCount;

// A new plug-in object (reference count 1), or null when out of memory.
IComponent* createPlugin();

}  // namespace plumbra::vst3
