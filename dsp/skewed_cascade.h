// A cascade of mono second-order sections run in the lanes of a packed value,
// skewed by one sample per section.
//
// Section s sits in lane s % L of group s / L (L lanes per group). In step t
// of a run, section s works on sample t - s, fed what section s - 1 gave in
// step t - 1: each group takes its own outputs of the step before moved up one
// lane, lane 0 taking the last lane of the group below (the run's sample t for
// the first group). The sections of one step do not depend on each other, so
// a cascade of N sections costs about N / L packed sections per sample where
// the plain cascade waits on N dependent ones. Every section still sees its
// samples in order with its own operations, so the output is bit for bit that
// of the sections run one after the other.
//
// A run fills and drains the skew within itself: its steps run from 0 to
// len + N - 2, and a section whose sample lies outside the run in a step
// keeps its state unchanged (its lane's result there is never used), so that
// runs of any length follow one another seamlessly and the stage adds no delay.
// With float lanes (L = 1) the skew is the plain software pipeline of the
// cascade: that instance is the reference the packed ones are tested against.
#pragma once

#include <array>
#include <cstddef>

#include "dsp/lanes.h"
#include "dsp/sections.h"

namespace plumbra {

template <class V, std::size_t N>
struct SkewedCascadeT {
    static constexpr std::size_t kLanes = static_cast<std::size_t>(kLanesOf<V>);
    static constexpr std::size_t kGroups = (N + kLanes - 1) / kLanes;
    static constexpr std::size_t kLast = N - 1;  // the last section, and the lag of its sample

    std::array<SosT<V>, kGroups> groups;  // section s in lane s % kLanes of group s / kLanes

    // Section s takes the coefficients of a designed section (its history is
    // not taken). Lanes beyond the last section stay all-zero sections, whose
    // outputs are never read.
    void set(std::size_t s, const Sos& section) { groups[s / kLanes].setLane(s % kLanes, section); }
    // The coefficients of section s as a float section with a clear history.
    Sos section(std::size_t s) const
    {
        const SosT<V>& g = groups[s / kLanes];
        const std::size_t j = s % kLanes;
        Sos r{laneOf(g.b0, j), laneOf(g.b1, j), laneOf(g.b2, j), laneOf(g.a1, j), laneOf(g.a2, j),
              laneOf(g.ra0, j), laneOf(g.g, j), 0.0f, 0.0f};
        return r;
    }
    void clear()
    {
        for (SosT<V>& g : groups) g.clear();
    }

    // x[0..len-1] through the cascade in place; f(section, v) runs one step of
    // a packed section (its process() or a specialised form).
    template <class F>
    void processRun(float* x, int len, F f)
    {
        std::array<V, kGroups> out{};  // each group's outputs of the step before
        const int steps = len + static_cast<int>(kLast);
        // Where every section's sample lies within the run, no lane keeps its state.
        const int fullFrom = static_cast<int>(kLast);
        const int fullTo = len;
        for (int t = 0; t < steps; ++t) {
            const float in = t < len ? x[t] : 0.0f;
            if (t >= fullFrom && t < fullTo)
                step<false>(out, in, t, len, f);
            else
                step<true>(out, in, t, len, f);
            if (t >= static_cast<int>(kLast))
                x[t - static_cast<int>(kLast)] = lane<kLast % kLanes>(out[kLast / kLanes]);
        }
    }

private:
    // Lane index s of every lane of group k, as floats (exact).
    static V sectionIndices(std::size_t k)
    {
        std::array<float, kLanes> s{};
        for (std::size_t j = 0; j < kLanes; ++j) s[j] = static_cast<float>(k * kLanes + j);
        return loadFrom<V>(s.data());
    }

    template <bool kMasked, class F>
    [[gnu::always_inline]] void step(std::array<V, kGroups>& out, float in, int t, int len, F& f)
    {
        // From the last group down, so that each reads the group below's
        // outputs of the step before.
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ([&] {
                constexpr std::size_t k = kGroups - 1 - I;
                V below;
                if constexpr (k == 0) below = splat<V>(in);
                else below = out[k - 1];
                const V v = shiftUp(out[k], below);
                SosT<V>& g = groups[k];
                if constexpr (kMasked) {
                    // Section s works in this step when its sample t - s lies in the run.
                    const V s = sectionIndices(k);
                    const auto idle = greater(s, splat<V>(static_cast<float>(t)));
                    const auto before = greater(s, splat<V>(static_cast<float>(t - len)));
                    const V w1 = load<V>(g.w1), w2 = load<V>(g.w2);
                    out[k] = f(g, v);
                    store(g.w1, select(idle, w1, select(before, load<V>(g.w1), w1)));
                    store(g.w2, select(idle, w2, select(before, load<V>(g.w2), w2)));
                } else {
                    out[k] = f(g, v);
                }
            }(), ...);
        }(std::make_index_sequence<kGroups>{});
    }
};

}  // namespace plumbra
