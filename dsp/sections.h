// Reusable building blocks of the signal chain: delay rings, the direct-form-II
// second-order section with its design functions, the first-order bilinear
// split, the second-order allpass in z^-2 and the analytic envelope detector.
//
// Every block keeps its coefficients and its history together and is trivially
// copyable, so that the processor can hold all of them inline and clear them
// by assignment. The arithmetic keeps the structure of the design formulas;
// a division by a fixed coefficient becomes a multiplication by its reciprocal.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include <emmintrin.h>

#include "dsp/chainmath.h"

namespace plumbra {

// ---------------------------------------------------------------------------
// Constants shared by several stages.

inline constexpr float kSqrt2 = 1.4142135f;          // Butterworth damping of a 2nd-order section
inline constexpr float kPowerFloor = 3.1622778e-05f;  // -45 dB floor on detector power and divisors
inline constexpr float kPi = 3.14159265358979f;

// Rate-dependent basics, worked out once when the processor is initialised.
struct RateConstants {
    float fs;   // working sample rate, clamped to 1..192000 Hz
    float T;    // sampling period 1/fs
    float piT;  // bilinear prewarp factor pi*T
};

// Largest input magnitude the chain takes in: +80 dBFS, far above any real
// programme, and far below the level at which the input lowpass's states would
// overflow (about 1e29). Like any peak, a sample this loud holds the gains down
// for a while (some 14 s at the bound), but the stream goes on.
inline constexpr float kInputBound = 1.0e4f;

// A non-finite host sample (NaN, infinity) enters the chain as silence, and an
// absurd finite one (a host glitch, a corrupt float file) is held to
// kInputBound, so that one bad sample cannot poison every filter state for
// ever. Programme within +/-kInputBound passes unchanged.
inline float boundedInput(float x) { return std::isfinite(x) ? std::clamp(x, -kInputBound, kInputBound) : 0.0f; }

// One-pole coefficient exp(-rate*T) of a time constant 1/rate.
inline float onePole(float rate, const RateConstants& rc) { return chainmath::exp(-rate * rc.T); }

// Bilinear prewarp k = 1/tan(pi*f/fs) of a corner frequency f.
inline float prewarp(float f, const RateConstants& rc) { return 1.0f / chainmath::tan(rc.piT * f); }

// Four lanes of a packed single-precision vector (SSE2) kept in memory, and a
// coefficient repeated in every lane.
using Splat4 = std::array<float, 4>;
inline Splat4 splat4(float v) { return {v, v, v, v}; }
inline __m128 load4(const std::array<float, 4>& a) { return _mm_loadu_ps(a.data()); }

// Longest run of samples that the stages which work run by run (each section
// over the whole run before the next) take at a time.
inline constexpr int kRunLength = 32;

// ---------------------------------------------------------------------------
// Delay ring of N floats (a power of two), indexed by the processor's shared
// ring counter: the current sample goes to (counter & (N-1)), a tap d samples
// back reads ((counter - d) & (N-1)).
template <uint32_t N>
struct Ring {
    static_assert(N >= 2 && (N & (N - 1)) == 0, "ring length must be a power of two");
    static constexpr uint32_t kMask = N - 1;

    std::array<float, N> buf;  // samples, oldest overwritten first

    void clear() { buf.fill(0.0f); }
    void write(uint32_t counter, float v) { buf[counter & kMask] = v; }
    float tap(uint32_t counter, uint32_t back) const { return buf[(counter - back) & kMask]; }
};

// ---------------------------------------------------------------------------
// Maximum of the W most recent values, the current one included, with zeros
// before the first value (like a cleared ring scanned from the newest value
// with std::max). A NaN value is never the maximum of later samples; a NaN
// current value gives NaN, as the scan does. Callers never push -0, so the sign
// of a zero maximum does not arise.
//
// The values are taken in blocks of W (van Herk / Gil-Werman): the maximum of
// the window is the larger of the running maximum of the current block and
// the suffix maximum of the previous block from the same position on. Once a
// block is complete its suffix maxima are formed in place, W - 1 comparisons,
// so the cost is about three comparisons per value instead of W - 1.
template <uint32_t W>
struct SlidingMax {
    static_assert(W >= 2);
    static constexpr float kNone = -std::numeric_limits<float>::infinity();

    // a[0..pos-1]: values of the current block; a[pos+1..W-1]: suffix maxima of
    // the previous block; a[W] = -inf, so that a full block stands alone.
    std::array<float, W + 1> a;
    float run;      // maximum of the current block so far
    uint32_t pos;   // position of the next value in the current block

    void clear()
    {
        a.fill(0.0f);
        a[W] = kNone;
        run = kNone;
        pos = 0;
    }

    // Adds v and returns the maximum of the W most recent values.
    float push(float v)
    {
        const bool nan = v != v;
        const float s = nan ? kNone : v;
        a[pos] = s;
        run = std::max(run, s);
        const float m = std::max(a[pos + 1], run);
        if (++pos == W) {
            for (uint32_t j = W - 1; j-- > 0;) a[j] = std::max(a[j], a[j + 1]);
            run = kNone;
            pos = 0;
        }
        return nan ? v : m;
    }
};

// SlidingMax of four value streams side by side, one per lane of a packed
// single-precision vector (SSE2). Each lane gives bit for bit what SlidingMax
// gives for its stream: std::max(a, b) is taken as _mm_max_ps(b, a), which
// also returns a unless a < b, NaN included.
template <uint32_t W>
struct SlidingMaxX4 {
    static_assert(W >= 2);
    using Lanes = std::array<float, 4>;

    std::array<Lanes, W + 1> a;  // as SlidingMax::a, per lane
    Lanes run;                   // as SlidingMax::run, per lane
    uint32_t pos;                // position of the next value in the current block, all lanes

    void clear()
    {
        for (Lanes& v : a) v.fill(0.0f);
        a[W].fill(SlidingMax<W>::kNone);
        run.fill(SlidingMax<W>::kNone);
        pos = 0;
    }

    __m128 push(__m128 v)
    {
        const __m128 nan = _mm_cmpunord_ps(v, v);
        const __m128 none = _mm_set1_ps(SlidingMax<W>::kNone);
        const __m128 s = _mm_or_ps(_mm_and_ps(nan, none), _mm_andnot_ps(nan, v));
        _mm_storeu_ps(a[pos].data(), s);
        const __m128 r = _mm_max_ps(s, _mm_loadu_ps(run.data()));
        const __m128 m = _mm_max_ps(r, _mm_loadu_ps(a[pos + 1].data()));
        _mm_storeu_ps(run.data(), r);
        if (++pos == W) {
            __m128 next = _mm_loadu_ps(a[W - 1].data());
            for (uint32_t j = W - 1; j-- > 0;) {
                next = _mm_max_ps(next, _mm_loadu_ps(a[j].data()));
                _mm_storeu_ps(a[j].data(), next);
            }
            run.fill(SlidingMax<W>::kNone);
            pos = 0;
        }
        return _mm_or_ps(_mm_and_ps(nan, v), _mm_andnot_ps(nan, m));
    }
};

// ---------------------------------------------------------------------------
// Second-order section in direct form II.
//
//   w[n] = x[n] - (a2*w[n-2] + a1*w[n-1]) / a0
//   y[n] = g * (b0*w[n] + b1*w[n-1] + b2*w[n-2]) / a0
//
// g is 1 except for the Butterworth highpass, whose numerator is k^2*(1,-2,1).
struct Sos {
    float b0, b1, b2;  // numerator of the bilinear transform
    float a1, a2;      // denominator (a0 is folded into ra0)
    float ra0;         // 1/a0
    float g;           // numerator gain (k^2 for the Butterworth highpass, else 1)
    float w1, w2;      // w[n-1], w[n-2]

    void clear() { w1 = w2 = 0.0f; }

    float process(float x)
    {
        const float w = x - (a2 * w2 + a1 * w1) * ra0;
        const float y = (g * (b0 * w + b1 * w1 + b2 * w2)) * ra0;
        w2 = w1;
        w1 = w;
        return y;
    }

    // process() for a section from designButterworthLowpass, whose numerator is
    // exactly (1, 2, 1): the products with 1 are the values themselves, so
    //   y = g * (w + 2w1 + w2) / a0
    // gives process()'s bits without the numerator multiplications.
    float processLowpass(float x)
    {
        const float w = x - (a2 * w2 + a1 * w1) * ra0;
        const float y = (g * (w + 2.0f * w1 + w2)) * ra0;
        w2 = w1;
        w1 = w;
        return y;
    }

    // The same for a section from designButterworthHighpass, numerator exactly
    // (1, -2, 1): w + (-2)*w1 is w - 2w1, so y = g * (w - 2w1 + w2) / a0.
    float processHighpass(float x)
    {
        const float w = x - (a2 * w2 + a1 * w1) * ra0;
        const float y = (g * (w - 2.0f * w1 + w2)) * ra0;
        w2 = w1;
        w1 = w;
        return y;
    }
};

// Keeps the pole pair of a section strictly inside the unit circle at DC in
// single precision. The denominator's value at z = 1 relative to a0,
//   1 + a1/a0 + a2/a0 = (a0 + a1 + a2)/a0 = 4e/a0,
// is tiny for a corner far below the rate (about 1e-7 for 10 Hz at 192 kHz),
// and rounding a1 and a2 to floats can make it zero or negative: the section
// then has a pole on or outside the unit circle, and a constant input (a
// detector floor, say) drives it to infinity. Where rounding has left less than
// half of the ideal margin, a2 is moved up by single ulps to the value whose
// margin, evaluated exactly on the stored coefficients, comes nearest the ideal
// one. Where half of it is left, as for every section at rates up to 96 kHz,
// the coefficients are not touched.
inline void holdDcMargin(Sos& s, float a0, float e)
{
    const double ideal = 4.0 * static_cast<double>(e) / static_cast<double>(a0);
    if (!(ideal > 0.0) || !std::isfinite(s.a1) || !std::isfinite(s.a2) || !std::isfinite(s.ra0)) return;
    const auto margin = [&s](float a2) {
        return 1.0 + (static_cast<double>(s.a1) + static_cast<double>(a2)) * static_cast<double>(s.ra0);
    };
    const auto up = [](float a2) {
        const uint32_t bits = std::bit_cast<uint32_t>(a2);
        return a2 > 0.0f ? std::bit_cast<float>(bits + 1u)
             : a2 < 0.0f ? std::bit_cast<float>(bits - 1u)
                         : std::numeric_limits<float>::denorm_min();
    };
    if (margin(s.a2) >= 0.5 * ideal) return;
    // A few ulps always suffice: one ulp of a2 moves the margin by about the
    // ideal value itself where the margin is smallest.
    for (int step = 0; step < 64; ++step) {
        const float next = up(s.a2);
        if (std::fabs(margin(next) - ideal) >= std::fabs(margin(s.a2) - ideal) && margin(s.a2) > 0.0) break;
        s.a2 = next;
    }
}

// Bilinear transform of an analog section (p*s^2 + q) / (s^2 + d*s + e) with the
// prewarp k = 1/tan(pi*f/fs), s = k*(1 - z^-1)/(1 + z^-1):
//   a0 = k^2 + d*k + e,  a1 = 2*(e - k^2),  a2 = k^2 - d*k + e
//   b0 = b2 = p*k^2 + q, b1 = 2*(q - p*k^2)
// Returns a0 (some stages fold it into other constants).
inline float designBilinear(Sos& s, float k, float d, float e, float p, float q)
{
    const float kk = k * k;
    const float a0 = kk + d * k + e;
    s.a1 = 2.0f * (e - kk);
    s.a2 = kk - d * k + e;
    s.b0 = p * kk + q;
    s.b1 = 2.0f * (q - p * kk);
    s.b2 = s.b0;
    s.g = 1.0f;
    s.ra0 = 1.0f / a0;
    holdDcMargin(s, a0, e);
    return a0;
}

// Lowpass with damping d: prototype 1/(s^2 + d*s + 1), numerator (1, 2, 1).
inline float designButterworthLowpass(Sos& s, float k, float d = kSqrt2)
{
    return designBilinear(s, k, d, 1.0f, 0.0f, 1.0f);
}

// Highpass with damping d: prototype s^2/(s^2 + d*s + 1), y = k^2*(w - 2w1 + w2)/a0.
inline float designButterworthHighpass(Sos& s, float k, float d = kSqrt2)
{
    const float a0 = designBilinear(s, k, d, 1.0f, 0.0f, 1.0f);
    s.b0 = 1.0f;
    s.b1 = -2.0f;
    s.b2 = 1.0f;
    s.g = k * k;
    return a0;
}

// Peaking section (s^2 + beta*s + 1)/(s^2 + alpha*s + 1): gain beta/alpha at the centre.
//   a0 = k^2 + alpha*k + 1, a1 = b1 = 2*(1 - k^2), a2 = k^2 - alpha*k + 1
//   b0 = k^2 + beta*k + 1,  b2 = k^2 - beta*k + 1
inline void designPeaking(Sos& s, float k, float alpha, float beta)
{
    const float kk = k * k;
    const float a0 = kk + alpha * k + 1.0f;
    s.a1 = 2.0f * (1.0f - kk);
    s.a2 = kk - alpha * k + 1.0f;
    s.b0 = kk + beta * k + 1.0f;
    s.b1 = s.a1;
    s.b2 = kk - beta * k + 1.0f;
    s.g = 1.0f;
    s.ra0 = 1.0f / a0;
    holdDcMargin(s, a0, 1.0f);
}

// Runs x through an array of sections in order, first section first, written
// out in full so that no loop control runs per section. Extra arguments (the
// sample parity of z^-2 sections) go to every section.
template <class Section, std::size_t N, class... Args>
inline float runCascade(std::array<Section, N>& sections, float x, Args... args)
{
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((x = sections[I].process(x, args...)), ...);
    }(std::make_index_sequence<N>{});
    return x;
}

// A cascade of second-order sections, first section first.
template <std::size_t N>
struct SosCascade {
    std::array<Sos, N> s;

    void clear()
    {
        for (auto& x : s) x.clear();
    }
    float process(float x) { return runCascade(s, x); }

    // Every section from designButterworthLowpass (see Sos::processLowpass).
    float processLowpass(float x)
    {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((x = s[I].processLowpass(x)), ...);
        }(std::make_index_sequence<N>{});
        return x;
    }
};

// Four second-order sections side by side, one per lane of a packed
// single-precision vector (SSE2), each with its own coefficients: the
// Butterworth sections of Sos::processLowpass and Sos::processHighpass. Every
// lane performs the scalar operations in the same order, so it gives bit for
// bit what the Sos with that lane's coefficients gives.
struct SosX4 {
    using Lanes = std::array<float, 4>;

    Lanes a1, a2;  // denominators
    Lanes ra0;     // 1/a0
    Lanes g;       // numerator gains
    Lanes w1, w2;  // w[n-1], w[n-2]

    // Takes the coefficients of one lane from a designed scalar section.
    void setLane(std::size_t j, const Sos& s)
    {
        a1[j] = s.a1;
        a2[j] = s.a2;
        ra0[j] = s.ra0;
        g[j] = s.g;
    }
    void clear()
    {
        w1.fill(0.0f);
        w2.fill(0.0f);
    }

    // w = x - (a2*w2 + a1*w1)/a0, histories moved on; w1v, w2v receive the old ones.
    __m128 recurse(__m128 x, __m128& w1v, __m128& w2v)
    {
        w1v = _mm_loadu_ps(w1.data());
        w2v = _mm_loadu_ps(w2.data());
        const __m128 fb = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(a2.data()), w2v), _mm_mul_ps(_mm_loadu_ps(a1.data()), w1v));
        const __m128 w = _mm_sub_ps(x, _mm_mul_ps(fb, _mm_loadu_ps(ra0.data())));
        _mm_storeu_ps(w2.data(), w1v);
        _mm_storeu_ps(w1.data(), w);
        return w;
    }
    // Numerator sums w + 2w1 + w2 and w - 2w1 + w2.
    static __m128 lowpassSum(__m128 w, __m128 w1v, __m128 w2v)
    {
        return _mm_add_ps(_mm_add_ps(w, _mm_mul_ps(_mm_set1_ps(2.0f), w1v)), w2v);
    }
    static __m128 highpassSum(__m128 w, __m128 w1v, __m128 w2v)
    {
        return _mm_add_ps(_mm_sub_ps(w, _mm_mul_ps(_mm_set1_ps(2.0f), w1v)), w2v);
    }
    __m128 scale(__m128 sum) const
    {
        return _mm_mul_ps(_mm_mul_ps(_mm_loadu_ps(g.data()), sum), _mm_loadu_ps(ra0.data()));
    }

    // Sos::processLowpass and Sos::processHighpass of every lane.
    __m128 processLowpass(__m128 x)
    {
        __m128 w1v, w2v;
        const __m128 w = recurse(x, w1v, w2v);
        return scale(lowpassSum(w, w1v, w2v));
    }
    __m128 processHighpass(__m128 x)
    {
        __m128 w1v, w2v;
        const __m128 w = recurse(x, w1v, w2v);
        return scale(highpassSum(w, w1v, w2v));
    }

};

// ---------------------------------------------------------------------------
// First-order bilinear split at corner c = 1/tan(pi*f/fs):
//   l[n] = (x[n] + x[n-1] - (1 - c)*l[n-1]) / (1 + c)
//   h[n] = (c*x[n] - c*x[n-1] - (1 - c)*h[n-1]) / (1 + c)
// l + h = x, so l + g*h is a first-order shelf with gain 1 at DC and g at Nyquist.
struct FirstOrderSplit {
    float c;      // prewarp 1/tan(pi*f/fs)
    float omc;    // 1 - c
    float r1pc;   // 1/(1 + c)
    float x1;     // x[n-1]
    float l1;     // l[n-1]
    float h1;     // h[n-1]

    struct Out {
        float low, high;
    };

    void design(float k)
    {
        c = k;
        omc = 1.0f - k;
        r1pc = 1.0f / (1.0f + k);
    }
    void clear() { x1 = l1 = h1 = 0.0f; }

    Out process(float x)
    {
        const float l = (x + x1 - omc * l1) * r1pc;
        const float h = (c * x - c * x1 - omc * h1) * r1pc;
        x1 = x;
        l1 = l;
        h1 = h;
        return {l, h};
    }
    float shelf(float x, float g)
    {
        const Out o = process(x);
        return o.low + g * o.high;
    }
};

// ---------------------------------------------------------------------------
// Second-order allpass in z^-2: out[n] = c*(in[n] + out[n-2]) - in[n-2],
// transfer function (c - z^-2)/(1 - c*z^-2).
//
// Only the values two samples back are read, so the histories are kept in two
// slots by sample parity: slot p = n & 1 holds in[n-2] and out[n-2] on entry
// and receives in[n] and out[n], with nothing to shift. The caller passes a
// parity that alternates from one sample to the next (which one it starts
// with does not matter after clear(), both slots being zero).
struct AllpassZ2 {
    float c;                       // coefficient
    std::array<float, 2> inHist;   // in[] of the last two samples, by parity
    std::array<float, 2> outHist;  // out[] of the last two samples, by parity

    void clear()
    {
        inHist = {0.0f, 0.0f};
        outHist = {0.0f, 0.0f};
    }
    float process(float in, uint32_t parity)
    {
        const uint32_t p = parity & 1u;
        const float out = c * (in + outHist[p]) - inHist[p];
        inHist[p] = in;
        outHist[p] = out;
        return out;
    }

    // process() of a run x[0..len-1] in place, the first sample of the given
    // parity; within the run the histories are held in registers.
    void processRun(float* x, int len, uint32_t parity)
    {
        const float k = c;  // held in a register: x may alias the section's members
        const uint32_t p = parity & 1u;
        float in2 = inHist[p], out2 = outHist[p];
        float in1 = inHist[p ^ 1u], out1 = outHist[p ^ 1u];
        int i = 0;
        // Two samples at a time, one of each parity, so that the histories
        // two samples back are simply the values of the previous pair.
        for (; i + 1 < len; i += 2) {
            const float inA = x[i];
            const float inB = x[i + 1];
            const float outA = k * (inA + out2) - in2;
            const float outB = k * (inB + out1) - in1;
            x[i] = outA;
            x[i + 1] = outB;
            in2 = inA;
            in1 = inB;
            out2 = outA;
            out1 = outB;
        }
        if (i < len) {
            const float in = x[i];
            const float out = k * (in + out2) - in2;
            x[i] = out;
            in2 = in1;
            in1 = in;
            out2 = out1;
            out1 = out;
        }
        const uint32_t last = p ^ (static_cast<uint32_t>(len - 1) & 1u);
        inHist[last] = in1;
        outHist[last] = out1;
        inHist[last ^ 1u] = in2;
        outHist[last ^ 1u] = out2;
    }
};

// Pair of four-section allpass chains whose outputs differ in phase by roughly
// 90 degrees over the audio band: path A one sample back is the in-phase part,
// path B the quadrature part of an analytic signal.
struct AnalyticPair {
    // Path coefficients, used exactly as listed.
    static constexpr std::array<float, 4> kPathA = {0.6923878f, 0.93606544f, 0.9882295f, 0.99874884f};
    static constexpr std::array<float, 4> kPathB = {0.40219212f, 0.8561711f, 0.97229093f, 0.9952885f};

    std::array<AllpassZ2, 4> a;  // path A
    std::array<AllpassZ2, 4> b;  // path B
    float aPrev;                 // path A output one sample back
    uint32_t parity;             // sample parity of the sections' histories, alternating

    struct Out {
        float i, q;  // in-phase I[n] = A[n-1], quadrature Q[n] = B[n]
    };

    void design()
    {
        for (int j = 0; j < 4; ++j) {
            a[j].c = kPathA[j];
            b[j].c = kPathB[j];
        }
    }
    void clear()
    {
        for (auto& s : a) s.clear();
        for (auto& s : b) s.clear();
        aPrev = 0.0f;
        parity = 0;
    }
    Out process(float s)
    {
        const uint32_t p = parity;
        parity = p ^ 1u;
        const float pa = runCascade(a, s, p);
        const float pb = runCascade(b, s, p);
        const Out o{aPrev, pb};
        aPrev = pa;
        return o;
    }
};

// Analytic envelope detector: magnitude of the analytic signal, with its power
// floored at 3.1622778e-05 so that it never falls below 0.0056234 (-45 dB).
// The result is the same for s and -s.
struct AnalyticEnvelope {
    AnalyticPair pair;

    void design() { pair.design(); }
    void clear() { pair.clear(); }
    float process(float s)
    {
        const AnalyticPair::Out o = pair.process(s);
        float p = o.i * o.i + o.q * o.q;
        p = std::max(p, kPowerFloor);
        return std::sqrt(p);
    }
};

// AnalyticPair on four lanes of a packed single-precision vector (SSE2), each
// lane doing the scalar pair's operations in the same order. The histories are
// plain floats, four lanes per section and parity, loaded and stored unaligned
// so that the holding object needs no extra alignment.
struct AnalyticPairX4 {
    using Lanes = std::array<float, 4>;

    // Sections 0..3 are path A, 4..7 path B; each kept by sample parity as in AllpassZ2.
    std::array<std::array<Lanes, 8>, 2> inHist;   // in[] two samples back, [parity][section]
    std::array<std::array<Lanes, 8>, 2> outHist;  // out[] two samples back, [parity][section]
    Lanes aPrev;                                  // path A outputs one sample back
    uint32_t parity;                              // sample parity, alternating

    struct Out {
        __m128 i, q;
    };

    void clear()
    {
        for (auto& h : inHist)
            for (Lanes& l : h) l.fill(0.0f);
        for (auto& h : outHist)
            for (Lanes& l : h) l.fill(0.0f);
        aPrev.fill(0.0f);
        parity = 0;
    }
    Out process(__m128 x)
    {
        const uint32_t p = parity;
        parity = p ^ 1u;
        __m128 pa = x;
        __m128 pb = x;
        for (std::size_t j = 0; j < 4; ++j) {
            pa = section(AnalyticPair::kPathA[j], p, j, pa);
            pb = section(AnalyticPair::kPathB[j], p, j + 4, pb);
        }
        const Out o{_mm_loadu_ps(aPrev.data()), pb};  // I[n] = A[n-1], Q[n] = B[n]
        _mm_storeu_ps(aPrev.data(), pa);
        return o;
    }

private:
    // out = c*(in + out[n-2]) - in[n-2], as AllpassZ2::process.
    __m128 section(float c, uint32_t p, std::size_t j, __m128 in)
    {
        float* ih = inHist[p][j].data();
        float* oh = outHist[p][j].data();
        const __m128 out = _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(c), _mm_add_ps(in, _mm_loadu_ps(oh))), _mm_loadu_ps(ih));
        _mm_storeu_ps(ih, in);
        _mm_storeu_ps(oh, out);
        return out;
    }

};

// Four analytic envelope detectors side by side, one per lane of a packed
// single-precision vector (SSE2). Every lane performs AnalyticEnvelope's
// operations in the same order (the allpass pair, then I*I + Q*Q, the floor and
// the square root); packed add, sub, mul, max and sqrt round each lane exactly
// as the scalar operations do, so lane j gives bit for bit what an
// AnalyticEnvelope fed lane j's samples gives.
struct AnalyticEnvelopeX4 {
    static constexpr int kLanes = 4;

    AnalyticPairX4 pair;

    void clear() { pair.clear(); }

    // Magnitudes m[0..3] of the four detectors for their samples s[0..3].
    void process(const float* s, float* m)
    {
        const AnalyticPairX4::Out o = pair.process(_mm_loadu_ps(s));
        __m128 pw = _mm_add_ps(_mm_mul_ps(o.i, o.i), _mm_mul_ps(o.q, o.q));
        pw = _mm_max_ps(_mm_set1_ps(kPowerFloor), pw);  // std::max(pw, floor), NaN kept
        _mm_storeu_ps(m, _mm_sqrt_ps(pw));
    }
};

static_assert(std::is_trivially_copyable_v<Sos>);
static_assert(std::is_trivially_copyable_v<FirstOrderSplit>);
static_assert(std::is_trivially_copyable_v<AnalyticEnvelope>);
static_assert(std::is_trivially_copyable_v<AnalyticEnvelopeX4>);
static_assert(std::is_trivially_copyable_v<SosX4>);
static_assert(std::is_trivially_copyable_v<Ring<64>>);
static_assert(std::is_trivially_copyable_v<SlidingMax<44>>);

}  // namespace plumbra
