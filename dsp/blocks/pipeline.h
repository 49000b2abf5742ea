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
#include <type_traits>
#include <utility>

namespace plumbra {

namespace detail {

// The values the stages of a chain hand on, stage 0 taking an In: a tuple of
// each stage's result type.
template <class In, class... Stage>
struct StageResults {
    using type = std::tuple<>;
};
template <class In, class S, class... Rest>
struct StageResults<In, S, Rest...> {
    using R = std::decay_t<std::invoke_result_t<S&, In>>;
    using type = decltype(std::tuple_cat(std::declval<std::tuple<R>>(),
                                         std::declval<typename StageResults<R, Rest...>::type>()));
};

}  // namespace detail

// Runs x[0..len-1] through stage 0, then stage 1, and so on, and writes what
// the last stage gives to y[0..len-1]. Each stage is a callable taking what the
// stage before it returns (stage 0 an In) and returning a value of its own
// type, so that a chain can hand on several signals, or change what it carries
// from stage to stage. y may be x: the last stage writes a sample only after
// stage 0 has read it.
template <class In, class Out, class... Stage>
inline void runPipelinedInto(const In* x, Out* y, int len, Stage&&... stage)
{
    constexpr int kStages = static_cast<int>(sizeof...(Stage));
    static_assert(kStages >= 1);
    auto stages = std::forward_as_tuple(stage...);
    typename detail::StageResults<const In&, Stage...>::type carry{};  // what each stage produced in the previous step

    // One step: stages from the last to the first, so that stage j - 1's
    // result still holds the previous step's value when stage j reads it.
    // Checked steps fill and drain the pipeline, where some stages have no
    // sample to work on.
    auto step = [&]<bool kChecked>(int i) {
        [&]<std::size_t... J>(std::index_sequence<J...>) {
            ([&] {
                constexpr std::size_t j = kStages - 1 - J;
                const int s = i - static_cast<int>(j);
                if (kChecked && (s < 0 || s >= len)) return;
                if constexpr (j == 0) std::get<0>(carry) = std::get<0>(stages)(x[s]);
                else std::get<j>(carry) = std::get<j>(stages)(std::get<j - 1>(carry));
                if constexpr (j == kStages - 1) y[s] = std::get<j>(carry);
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

}  // namespace plumbra
