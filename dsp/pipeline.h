// A chain of stages run over a run of samples, software-pipelined.
//
// Sample by sample, a cascade of recursive sections is one long dependent
// chain: each section waits for the one before it, and each one's own
// recursion takes several operation latencies, so the processor sits idle for
// most of the time. Over a run the stages are staggered instead: in step i,
// stage j works on sample i - j, taking what stage j - 1 produced in the step
// before. The stages of one step do not depend on each other, so their
// recursions overlap. Every stage still sees its samples in order with the
// same operations, so the results are bit for bit those of the sample-by-sample
// cascade.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <tuple>
#include <utility>

namespace plumbra {

// Runs x[0..len-1] in place through stage 0, then stage 1, and so on; each
// stage is a callable taking and returning one value of type T.
template <class T, class... Stage>
inline void runPipelined(T* x, int len, Stage&&... stage)
{
    constexpr int kStages = static_cast<int>(sizeof...(Stage));
    static_assert(kStages >= 1);
    auto stages = std::forward_as_tuple(stage...);
    std::array<T, kStages> carry{};  // carry[j]: what stage j produced in the previous step

    // One step: stages from the last to the first, so that carry[j - 1] still
    // holds the previous step's value when stage j reads it. Checked steps fill
    // and drain the pipeline, where some stages have no sample to work on.
    auto step = [&]<bool kChecked>(int i) {
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            ([&] {
                constexpr int j = kStages - 1 - static_cast<int>(J);
                const int s = i - j;
                if (kChecked && (s < 0 || s >= len)) return;
                T in;
                if constexpr (j == 0) in = x[s];
                else in = carry[static_cast<std::size_t>(j - 1)];
                carry[static_cast<std::size_t>(j)] = std::get<static_cast<std::size_t>(j)>(stages)(in);
                if constexpr (j == kStages - 1) x[s] = carry[static_cast<std::size_t>(j)];
            }(), ...);
        }(std::make_index_sequence<kStages>{});
    };

    const int steps = len + kStages - 1;
    const int filled = std::min(kStages - 1, len);
    int i = 0;
    for (; i < filled; ++i) step.template operator()<true>(i);
    for (; i < len; ++i) step.template operator()<false>(i);
    for (; i < steps; ++i) step.template operator()<true>(i);
}

// runPipelined over a cascade of sections, each called as section.process(v)
// (or through f(section, v) where given).
template <class T, class Section, std::size_t N, class F>
inline void runCascadePipelined(T* x, int len, std::array<Section, N>& sections, F f)
{
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        runPipelined(x, len, [&](T v) { return f(sections[I], v); }...);
    }(std::make_index_sequence<N>{});
}

}  // namespace plumbra
