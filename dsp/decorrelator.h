// Pseudo-stereo decorrelator: turns the mono programme x into a left and a
// right channel. Sixty allpass sections in z^-2 followed by a 300-sample delay
// make a decorrelated copy d; left = x + d and right = x - d, so their sum
// carries the programme and their difference the decorrelated part.
#pragma once

#include <array>
#include <cstdint>

#include <emmintrin.h>

#include "dsp/lanes.h"
#include "dsp/sections.h"
#include "dsp/stereo_pair.h"

namespace plumbra {

// Four consecutive sections of an allpass chain in the lanes of one packed
// value, skewed by a pair of samples per lane: at step t, lane j runs the
// samples 2(t - j) and 2(t - j) + 1 of a run through its section, fed by lane
// j - 1's outputs of step t - 1. The two samples of a pair are two independent
// recursions (each reads its own values two samples back), and every lane
// does AllpassZ2T's operations in the same order, so the chain's output is
// bit for bit that of the four sections run one after the other. The
// histories are kept by sample parity as in AllpassZ2T, one lane per section.
struct SkewedAllpass4 {
    Mem<Lane4> c;                           // coefficient of each section
    std::array<Mem<Lane4>, 2> inHist;   // in[] of the last two samples, by parity
    std::array<Mem<Lane4>, 2> outHist;  // out[] of the last two samples, by parity

    void clear()
    {
        for (Mem<Lane4>& m : inHist) fill(m, 0.0f);
        for (Mem<Lane4>& m : outHist) fill(m, 0.0f);
    }

    // The four sections over a run x[0..len-1] in place, the first sample of
    // the given parity.
    void processRun(float* x, int len, uint32_t parity)
    {
        if (len % 2 != 0) {
            // An odd run goes section by section.
            for (std::size_t j = 0; j < 4; ++j) {
                AllpassZ2 s{c[j], {inHist[0][j], inHist[1][j]}, {outHist[0][j], outHist[1][j]}};
                s.processRun(x, len, parity);
                for (std::size_t q = 0; q < 2; ++q) {
                    inHist[q][j] = s.inHist[q];
                    outHist[q][j] = s.outHist[q];
                }
            }
            return;
        }
        const int pairs = len / 2;
        const uint32_t p = parity & 1u;
        const __m128 cv = _mm_loadu_ps(c.data());
        // Per lane: input and output of its last sample of each parity.
        __m128 inA = _mm_loadu_ps(inHist[p].data()), outA = _mm_loadu_ps(outHist[p].data());
        __m128 inB = _mm_loadu_ps(inHist[p ^ 1u].data()), outB = _mm_loadu_ps(outHist[p ^ 1u].data());
        __m128 stepA = _mm_setzero_ps(), stepB = _mm_setzero_ps();  // every lane's outputs of the last step
        const __m128i lane = _mm_setr_epi32(0, 1, 2, 3);
        for (int t = 0; t < pairs + 3; ++t) {
            const bool fed = t < pairs;
            const float xa = fed ? x[2 * t] : 0.0f;
            const float xb = fed ? x[2 * t + 1] : 0.0f;
            const __m128 feedA = _mm_move_ss(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(stepA), 4)), _mm_set_ss(xa));
            const __m128 feedB = _mm_move_ss(_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(stepB), 4)), _mm_set_ss(xb));
            stepA = _mm_sub_ps(_mm_mul_ps(cv, _mm_add_ps(feedA, outA)), inA);
            stepB = _mm_sub_ps(_mm_mul_ps(cv, _mm_add_ps(feedB, outB)), inB);
            if (t >= 3 && fed) {
                inA = feedA;
                outA = stepA;
                inB = feedB;
                outB = stepB;
            } else {
                // Only the lanes with a sample of the run at this step move on.
                const __m128i d = _mm_sub_epi32(_mm_set1_epi32(t), lane);
                const __m128 on = _mm_castsi128_ps(
                    _mm_and_si128(_mm_cmpgt_epi32(d, _mm_set1_epi32(-1)), _mm_cmplt_epi32(d, _mm_set1_epi32(pairs))));
                auto pick = [on](__m128 a, __m128 b) { return _mm_or_ps(_mm_and_ps(on, a), _mm_andnot_ps(on, b)); };
                inA = pick(feedA, inA);
                outA = pick(stepA, outA);
                inB = pick(feedB, inB);
                outB = pick(stepB, outB);
            }
            if (t >= 3) {
                x[2 * (t - 3)] = _mm_cvtss_f32(_mm_shuffle_ps(stepA, stepA, _MM_SHUFFLE(3, 3, 3, 3)));
                x[2 * (t - 3) + 1] = _mm_cvtss_f32(_mm_shuffle_ps(stepB, stepB, _MM_SHUFFLE(3, 3, 3, 3)));
            }
        }
        _mm_storeu_ps(inHist[p].data(), inA);
        _mm_storeu_ps(outHist[p].data(), outA);
        _mm_storeu_ps(inHist[p ^ 1u].data(), inB);
        _mm_storeu_ps(outHist[p ^ 1u].data(), outB);
    }
};

struct Decorrelator {
    static constexpr std::size_t kSections = 60;
    static constexpr uint32_t kDelay = 300;  // delay of the dispersed copy, samples
    // Coefficient cycle, repeated fifteen times (the quadrature path of the
    // analytic pair).
    static constexpr std::array<float, 4> kCycle = AnalyticPair::kPathB;

    // Sections 1..56 run four at a time in skewed lanes, 57..59 one by one;
    // the 60th writes its output into the delay ring and reads its own output
    // two samples back from there.
    static constexpr std::size_t kSkewed = 14;
    std::array<SkewedAllpass4, kSkewed> skewed;
    std::array<AllpassZ2, kSections - 1 - 4 * kSkewed> chain;
    float cLast;       // coefficient of the 60th section
    float lastIn1;     // input of the 60th section one sample back
    float lastIn2;     // input of the 60th section two samples back
    Ring<512> ring;    // output of the 60th section
    std::array<float, kRunLength> chained;  // a run through sections 1..59

    void design()
    {
        for (SkewedAllpass4& g : skewed)
            for (std::size_t j = 0; j < 4; ++j) g.c[j] = kCycle[j];  // section 4i + j
        for (std::size_t s = 0; s < chain.size(); ++s) chain[s].c = kCycle[(4 * kSkewed + s) % kCycle.size()];
        cLast = kCycle[(kSections - 1) % kCycle.size()];
    }
    void clear()
    {
        for (auto& g : skewed) g.clear();
        for (auto& s : chain) s.clear();
        lastIn1 = lastIn2 = 0.0f;
        ring.clear();
    }

    // A run of up to kRunLength samples x[0..len-1] (the equalised programme)
    // from ring counter n0 on, each section over the whole run in turn.
    void processRun(const float* x, float* left, float* right, int len, uint32_t n0)
    {
        for (int i = 0; i < len; ++i) chained[i] = x[i];
        for (SkewedAllpass4& g : skewed) g.processRun(chained.data(), len, n0);
        for (AllpassZ2& s : chain) s.processRun(chained.data(), len, n0);
        for (int i = 0; i < len; ++i) {
            const uint32_t n = n0 + static_cast<uint32_t>(i);
            const float y = chained[i];
            const float out = cLast * (y + ring.tap(n, 2)) - lastIn2;
            lastIn2 = lastIn1;
            lastIn1 = y;
            ring.write(n, out);
            const float d = ring.tap(n, kDelay);
            left[i] = x[i] + d;
            right[i] = x[i] - d;
        }
    }

    // One sample, a run of one.
    StereoPair process(float x, uint32_t n)
    {
        StereoPair p;
        processRun(&x, &p.left, &p.right, 1, n);
        return p;
    }
};

static_assert(std::is_trivially_copyable_v<Decorrelator>);

}  // namespace plumbra
