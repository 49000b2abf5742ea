// A cascade of second-order sections run in the lanes of a packed value,
// skewed by one or two samples per section.
//
// Each section works on one channel (a float) or on two side by side (Lane2,
// both with the same coefficients), and takes a slot of as many lanes in a
// group: section s sits in slot s % K of group s / K (K slots per group). With
// a skew of d samples, section s works in step t of a run on sample t - d*s,
// fed what section s - 1 gave in step t - d: each group takes its own outputs
// of d steps before moved up one slot, slot 0 taking the last slot of the
// group below (the run's sample t for the first group). The sections of one
// step do not depend on each other, so a cascade of N sections costs about
// N / K packed sections per sample where the plain cascade waits on N
// dependent ones. With a skew of two, a section's output is taken up two steps
// later, so a step waits only on each section's own recursion (w from the w of
// the step before), not on a whole section from input to output. Every
// section still sees its samples in order with its own operations, so the
// output is bit for bit that of the sections run one after the other.
//
// A run fills and drains the skew within itself: its steps run from 0 to
// len + d(N - 1) - 1, and a section whose sample lies outside the run in a
// step keeps its state unchanged (its lanes' result there is never used), so
// that runs of any length follow one another seamlessly and the stage adds no
// delay. With one slot per group (a float, or Lane2 in Lane2) the skew is the
// plain software pipeline of the cascade: that instance is the reference the
// packed ones are tested against.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "dsp/simd/lanes.h"
#include "dsp/blocks/sections.h"

namespace plumbra {

// The lanes a cascade over the channels Ch is skewed in: four lanes for two
// channels (two sections per step), none for a float (the plain pipeline).
template <class Ch>
using SkewedLanes = std::conditional_t<std::is_same_v<Ch, Lane2>, Lane4, Ch>;

// N sections, each over the channels Ch (float: one; Lane2: two side by side,
// sharing the coefficients), skewed in the lanes of V.
template <class V, std::size_t N, class Ch = float>
struct SkewedCascadeT {
    static constexpr std::size_t kLanes = static_cast<std::size_t>(kLanesOf<V>);
    static constexpr std::size_t kChannels = static_cast<std::size_t>(kLanesOf<Ch>);
    static constexpr std::size_t kPerGroup = kLanes / kChannels;  // sections per group
    static constexpr std::size_t kGroups = (N + kPerGroup - 1) / kPerGroup;
    static constexpr std::size_t kLast = N - 1;  // the last section
    // Samples by which each section trails the one before: two where one group
    // holds the whole cascade, so that its steps wait only on the sections'
    // recursions; one otherwise, where the groups' work fills the wait anyway
    // and a longer fill and drain would cost more.
    static constexpr std::size_t kSkew = kGroups == 1 ? 2 : 1;
    static_assert(kLanes % kChannels == 0 && (kPerGroup == 1 || std::is_same_v<V, Lane4>));

    std::array<SosT<V>, kGroups> groups;  // section s in the lanes of slot s % kPerGroup of group s / kPerGroup

    // Section s takes the coefficients of a designed section in every channel
    // (its history is not taken). Lanes beyond the last section stay all-zero
    // sections, whose outputs are never read.
    void set(std::size_t s, const Sos& section)
    {
        for (std::size_t c = 0; c < kChannels; ++c) groups[s / kPerGroup].setLane(s % kPerGroup * kChannels + c, section);
    }
    // The coefficients of section s as a float section with a clear history.
    Sos section(std::size_t s) const
    {
        const SosT<V>& g = groups[s / kPerGroup];
        const std::size_t j = s % kPerGroup * kChannels;
        Sos r{laneOf(g.b0, j), laneOf(g.b1, j), laneOf(g.b2, j), laneOf(g.a1, j), laneOf(g.a2, j),
              laneOf(g.ra0, j), laneOf(g.g, j), 0.0f, 0.0f};
        return r;
    }
    void clear()
    {
        for (SosT<V>& g : groups) g.clear();
    }

    // x[0..len-1] through the cascade into y[0..len-1] (y may be x); f(section,
    // history, v) runs one step of a packed section on its history (its
    // processWith() or a specialised form). The histories stay in registers
    // over the run.
    template <class In, class Out, class F>
    void processRun(const In* x, Out* y, int len, F f)
    {
        // Each group's outputs of the last two steps.
        std::array<V, kGroups> back1{}, back2{};
        const std::array<V, kGroups>& fed = kSkew == 2 ? back2 : back1;  // what the sections take in
        std::array<typename SosT<V>::History, kGroups> h;
        for (std::size_t k = 0; k < kGroups; ++k) h[k] = groups[k].history();
        constexpr int kLag = static_cast<int>(kSkew * kLast);  // the last section's sample trails the input by this
        const int steps = len + kLag;
        for (int t = 0; t < steps; ++t) {
            const Ch in = t < len ? load<Ch>(x[t]) : splat<Ch>(0.0f);
            std::array<V, kGroups> now;
            // Where every section's sample lies within the run, no lane keeps its state.
            if (t >= kLag && t < len)
                step<false>(now, fed, h, in, t, len, f);
            else
                step<true>(now, fed, h, in, t, len, f);
            if (t >= kLag) store(y[t - kLag], leaving<kLast % kPerGroup>(now[kLast / kPerGroup]));
            back2 = back1;
            back1 = now;
        }
        for (std::size_t k = 0; k < kGroups; ++k) groups[k].keep(h[k]);
    }
    template <class F>
    void processRun(float* x, int len, F f)
    {
        processRun(x, x, len, f);
    }

private:
    // A group's lanes with the channels in entering in their last slot.
    static V entering(Ch in)
    {
        if constexpr (kPerGroup == 1) return in;
        else if constexpr (kChannels == 1) return splat<V>(in);
        else return JoinedOf<Ch>::join(in, in);
    }
    // The slots of v moved up by one, slot 0 taking the last slot of below.
    static V shifted(V v, V below)
    {
        if constexpr (kPerGroup == 1) return below;
        else return shiftUp<static_cast<int>(kChannels)>(v, below);
    }
    // The channels of slot J.
    template <std::size_t J>
    static Ch leaving(V v)
    {
        if constexpr (kPerGroup == 1) return v;
        else if constexpr (kChannels == 1) return lane<J>(v);
        else if constexpr (J == 0) return JoinedOf<Ch>::low(v);
        else return JoinedOf<Ch>::high(v);
    }
    // The sample lag kSkew * s of every lane's section s in group k, as floats (exact).
    static V sectionLags(std::size_t k)
    {
        std::array<float, kLanes> s{};
        for (std::size_t j = 0; j < kLanes; ++j) s[j] = static_cast<float>(kSkew * (k * kPerGroup + j / kChannels));
        return loadFrom<V>(s.data());
    }

    template <bool kMasked, class F>
    [[gnu::always_inline]] void step(std::array<V, kGroups>& now, const std::array<V, kGroups>& fed,
                                     std::array<typename SosT<V>::History, kGroups>& h, Ch in, int t, int len, F& f)
    {
        [&]<std::size_t... K>(std::index_sequence<K...>) {
            ([&] {
                constexpr std::size_t k = K;
                V below;
                if constexpr (k == 0) below = entering(in);
                else below = fed[k - 1];
                const V v = shifted(fed[k], below);
                const SosT<V>& g = groups[k];
                if constexpr (kMasked) {
                    // Section s works in this step when its sample t - kSkew*s lies in the run.
                    const V lag = sectionLags(k);
                    const auto idle = greater(lag, splat<V>(static_cast<float>(t)));
                    const auto before = greater(lag, splat<V>(static_cast<float>(t - len)));
                    const typename SosT<V>::History old = h[k];
                    now[k] = f(g, h[k], v);
                    h[k].w1 = select(idle, old.w1, select(before, h[k].w1, old.w1));
                    h[k].w2 = select(idle, old.w2, select(before, h[k].w2, old.w2));
                } else {
                    now[k] = f(g, h[k], v);
                }
            }(), ...);
        }(std::make_index_sequence<kGroups>{});
    }
};

}  // namespace plumbra
