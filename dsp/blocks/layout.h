// The print of a type's layout: its size, its alignment and the offsets of its
// members, mixed into one number.
//
// The AVX units compile the processor's types again, from the same source, in
// namespaces of their own (dsp/avx/avx_path.h), and their entries take the
// processor's objects as objects of those copies. The print of each copy is
// computed under its own unit's compile options, so the two agree only where
// the layouts really do: the processor takes the AVX path only then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace plumbra {

template <class T>
constexpr uint64_t layoutPrint(std::initializer_list<std::size_t> memberOffsets)
{
    uint64_t h = 14695981039346656037ull;  // 64-bit FNV-1a over the numbers
    auto mix = [&h](std::size_t v) {
        for (int i = 0; i < 8; ++i) {
            h ^= (static_cast<uint64_t>(v) >> (8 * i)) & 0xffu;
            h *= 1099511628211ull;
        }
    };
    mix(sizeof(T));
    mix(alignof(T));
    for (std::size_t offset : memberOffsets) mix(offset);
    return h;
}

}  // namespace plumbra
