// Reusable building blocks of the signal chain: delay rings, the direct-form-II
// second-order section with its design functions, the first-order bilinear
// split, the second-order allpass step in z^-2 and the analytic envelope detector.
//
// Every block keeps its coefficients and its history together and is trivially
// copyable, so that the processor can hold all of them inline and clear them
// by assignment. The arithmetic keeps the structure of the design formulas;
// a division by a fixed coefficient becomes a multiplication by its reciprocal.
//
// Each block is written once, as a template over its lane type (dsp/lanes.h):
// the float instance is the reference, and an instance over packed lanes runs
// several channels side by side with every lane giving the reference's bits.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "dsp/simd/chainmath.h"
#include "dsp/simd/lanes.h"

namespace plumbra {

// ---------------------------------------------------------------------------
// Constants shared by several stages.

inline constexpr float kSqrt2 = 1.4142135f;          // Butterworth damping of a 2nd-order section
inline constexpr float kPowerFloor = 3.1622778e-05f;  // -45 dB floor on detector power and divisors
inline constexpr float kPi = 3.14159265358979f;

// Highest working sample rate, Hz: a host rate above it is worked at this one.
inline constexpr float kMaxRate = 192000.0f;

// Rate-dependent basics, worked out once when the processor is initialised.
struct RateConstants {
    float fs;   // working sample rate, clamped to 1..kMaxRate Hz
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

// Bilinear prewarp k = 1/tan(pi*f/fs) of corner frequencies f in the lanes of
// V, with piT = pi/fs; and of one corner at the rate rc.
template <class V>
inline V prewarpOf(V f, float piT)
{
    return splat<V>(1.0f) / laneTan(splat<V>(piT) * f);
}
inline float prewarp(float f, const RateConstants& rc) { return prewarpOf(f, rc.piT); }

// The corner limit of a group of stages. At and above fs/2 the bilinear prewarp
// tan(pi*f/fs) is infinite or negative and a section's poles leave the unit
// circle, so a corner above fraction*fs is designed at fraction*fs. Each group
// keeps its own fraction: the limit sets the coefficients, and so the output,
// at rates where it acts.
struct CornerLimit {
    float fraction;  // of the sample rate

    // The highest corner, fraction*fs.
    float ceiling(const RateConstants& rc) const { return fraction * rc.fs; }
    // The corner f held at the ceiling.
    float corner(float f, const RateConstants& rc) const { return std::min(f, ceiling(rc)); }
    // The prewarp of the corner f so held.
    float prewarp(float f, const RateConstants& rc) const { return plumbra::prewarp(corner(f, rc), rc); }
};
// The input stages (input lowpass, noise reduction): 0.499*fs lies above
// 22000 Hz from 44100 Hz on, so at the usual rates no corner of theirs is changed.
inline constexpr CornerLimit kInputCorners{0.499f};
// The band edges and the output stages (band mix, bandwidth expander, output
// equaliser). Their highest corners are 15400 Hz (the expander's source band
// at the top of "Lowpass Filter") and the 15 kHz top band edge, below the
// limit at 44100 Hz and above; the limit acts only at lower rates.
inline constexpr CornerLimit kOutputCorners{0.49f};

// Longest run of samples that the stages which work run by run (each section
// over the whole run before the next) take at a time.
inline constexpr int kRunLength = 32;

// ---------------------------------------------------------------------------
// Delay ring of N values (a power of two), indexed by the processor's shared
// ring counter: the current sample goes to (counter & (N-1)), a tap d samples
// back reads ((counter - d) & (N-1)).
template <class V, uint32_t N>
struct RingT {
    static_assert(N >= 2 && (N & (N - 1)) == 0, "ring length must be a power of two");
    static constexpr uint32_t kLength = N;
    static constexpr uint32_t kMask = N - 1;
    // Whether a value written `back` samples before the newest is still held.
    static constexpr bool covers(uint32_t back) { return back < N; }

    std::array<Mem<V>, N> buf;  // samples, oldest overwritten first

    void clear()
    {
        for (Mem<V>& m : buf) fill(m, 0.0f);
    }
    void write(uint32_t counter, V v) { store(buf[counter & kMask], v); }
    V tap(uint32_t counter, uint32_t back) const { return load<V>(buf[(counter - back) & kMask]); }
    // The value written Back samples before counter; the ring must hold it.
    template <uint32_t Back>
    V tap(uint32_t counter) const
    {
        static_assert(covers(Back), "the ring is shorter than its tap");
        return tap(counter, Back);
    }
};
template <uint32_t N>
using Ring = RingT<float, N>;

// The length of a ring whose reads reach `longest` samples behind the newest
// value written: the next power of two above it.
constexpr uint32_t ringLengthFor(uint32_t longest) { return std::bit_ceil(longest + 1u); }

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
template <class V, uint32_t W>
struct SlidingMaxT {
    static_assert(W >= 2);
    static constexpr float kNone = -std::numeric_limits<float>::infinity();

    // a[0..pos-1]: values of the current block; a[pos+1..W-1]: suffix maxima of
    // the previous block; a[W] = -inf, so that a full block stands alone.
    std::array<Mem<V>, W + 1> a;
    Mem<V> run;     // maximum of the current block so far
    uint32_t pos;   // position of the next value in the current block

    void clear()
    {
        for (Mem<V>& m : a) fill(m, 0.0f);
        fill(a[W], kNone);
        fill(run, kNone);
        pos = 0;
    }

    // Adds v and returns the maximum of the W most recent values.
    V push(V v)
    {
        const auto nan = isNan(v);
        const V s = select(nan, splat<V>(kNone), v);
        store(a[pos], s);
        const V r = max(load<V>(run), s);
        store(run, r);
        const V m = max(load<V>(a[pos + 1]), r);
        if (++pos == W) {
            V next = load<V>(a[W - 1]);
            for (uint32_t j = W - 1; j-- > 0;) {
                next = max(load<V>(a[j]), next);
                store(a[j], next);
            }
            fill(run, kNone);
            pos = 0;
        }
        return select(nan, v, m);
    }
};
template <uint32_t W>
using SlidingMax = SlidingMaxT<float, W>;

// ---------------------------------------------------------------------------
// Second-order section in direct form II.
//
//   w[n] = x[n] - (a2*w[n-2] + a1*w[n-1]) / a0
//   y[n] = g * (b0*w[n] + b1*w[n-1] + b2*w[n-2]) / a0
//
// g is 1 except for the Butterworth highpass, whose numerator is k^2*(1,-2,1).
// The design functions below set every lane; setLane() gives one lane the
// coefficients of a designed float section.
template <class V>
struct SosT {
    Mem<V> b0, b1, b2;  // numerator of the bilinear transform
    Mem<V> a1, a2;      // denominator (a0 is folded into ra0)
    Mem<V> ra0;         // 1/a0
    Mem<V> g;           // numerator gain (k^2 for the Butterworth highpass, else 1)
    Mem<V> w1, w2;      // w[n-1], w[n-2]

    void clear()
    {
        fill(w1, 0.0f);
        fill(w2, 0.0f);
    }
    void setLane(std::size_t j, const SosT<float>& s)
    {
        laneOf(b0, j) = s.b0;
        laneOf(b1, j) = s.b1;
        laneOf(b2, j) = s.b2;
        laneOf(a1, j) = s.a1;
        laneOf(a2, j) = s.a2;
        laneOf(ra0, j) = s.ra0;
        laneOf(g, j) = s.g;
    }

    // The histories w[n-1], w[n-2] as values, so that a loop over many
    // samples can keep them in registers (the *With forms), and back.
    struct History {
        V w1, w2;
    };
    History history() const { return {load<V>(w1), load<V>(w2)}; }
    void keep(const History& h)
    {
        store(w1, h.w1);
        store(w2, h.w2);
    }

    // w = x - (a2*w2 + a1*w1)/a0, the history h moved on; w1v, w2v receive the old one.
    V recurseWith(History& h, V x, V& w1v, V& w2v) const
    {
        w1v = h.w1;
        w2v = h.w2;
        const V w = x - (load<V>(a2) * w2v + load<V>(a1) * w1v) * load<V>(ra0);
        h = {w, w1v};
        return w;
    }
    V recurse(V x, V& w1v, V& w2v)
    {
        History h = history();
        const V w = recurseWith(h, x, w1v, w2v);
        keep(h);
        return w;
    }
    // Numerator sums w + 2w1 + w2 and w - 2w1 + w2 of the Butterworth sections.
    static V lowpassSum(V w, V w1v, V w2v) { return w + splat<V>(2.0f) * w1v + w2v; }
    static V highpassSum(V w, V w1v, V w2v) { return w - splat<V>(2.0f) * w1v + w2v; }
    V scale(V sum) const { return (load<V>(g) * sum) * load<V>(ra0); }

    V processWith(History& h, V x) const
    {
        V w1v, w2v;
        const V w = recurseWith(h, x, w1v, w2v);
        return scale(load<V>(b0) * w + load<V>(b1) * w1v + load<V>(b2) * w2v);
    }
    V process(V x) { return withHistory([&](History& h) { return processWith(h, x); }); }

    // process() for a section from designButterworthLowpass, whose numerator is
    // exactly (1, 2, 1): the products with 1 are the values themselves, so
    //   y = g * (w + 2w1 + w2) / a0
    // gives process()'s bits without the numerator multiplications.
    V processLowpassWith(History& h, V x) const
    {
        V w1v, w2v;
        const V w = recurseWith(h, x, w1v, w2v);
        return scale(lowpassSum(w, w1v, w2v));
    }
    V processLowpass(V x) { return withHistory([&](History& h) { return processLowpassWith(h, x); }); }

    // The same for a section from designScaledLowpass, whose output scale and
    // 1/a0 are one factor kept in g: y = (w + 2w1 + w2) * g.
    V processScaledLowpassWith(History& h, V x) const
    {
        V w1v, w2v;
        const V w = recurseWith(h, x, w1v, w2v);
        return lowpassSum(w, w1v, w2v) * load<V>(g);
    }
    V processScaledLowpass(V x) { return withHistory([&](History& h) { return processScaledLowpassWith(h, x); }); }

    // The same for a section from designButterworthHighpass, numerator exactly
    // (1, -2, 1): w + (-2)*w1 is w - 2w1, so y = g * (w - 2w1 + w2) / a0.
    V processHighpassWith(History& h, V x) const
    {
        V w1v, w2v;
        const V w = recurseWith(h, x, w1v, w2v);
        return scale(highpassSum(w, w1v, w2v));
    }
    V processHighpass(V x) { return withHistory([&](History& h) { return processHighpassWith(h, x); }); }

private:
    // A *With form on the history in memory.
    template <class F>
    [[gnu::always_inline]] V withHistory(F form)
    {
        History h = history();
        const V y = form(h);
        keep(h);
        return y;
    }
};
using Sos = SosT<float>;

// The a2 that keeps the pole pair of a section strictly inside the unit circle
// at DC in single precision. The denominator's value at z = 1 relative to a0,
//   1 + a1/a0 + a2/a0 = (a0 + a1 + a2)/a0 = 4e/a0,
// is tiny for a corner far below the rate (about 1e-7 for 10 Hz at 192 kHz),
// and rounding a1 and a2 to floats can make it zero or negative: the section
// then has a pole on or outside the unit circle, and a constant input (a
// detector floor, say) drives it to infinity. Where rounding has left less than
// half of the ideal margin, a2 is moved up by single ulps to the value whose
// margin, evaluated exactly on the stored coefficients, comes nearest the ideal
// one. Where half of it is left, as for every section at rates up to 96 kHz,
// the coefficients are not touched. a1 and ra0 = 1/a0 are the section's as
// stored; a2 is returned as it is or as moved.
inline float heldDcMarginA2(float a1, float a2, float ra0, float a0, float e)
{
    const double ideal = 4.0 * static_cast<double>(e) / static_cast<double>(a0);
    if (!(ideal > 0.0) || !std::isfinite(a1) || !std::isfinite(a2) || !std::isfinite(ra0)) return a2;
    const auto margin = [a1, ra0](float b) {
        return 1.0 + (static_cast<double>(a1) + static_cast<double>(b)) * static_cast<double>(ra0);
    };
    const auto up = [](float b) {
        const uint32_t bits = std::bit_cast<uint32_t>(b);
        return b > 0.0f ? std::bit_cast<float>(bits + 1u)
             : b < 0.0f ? std::bit_cast<float>(bits - 1u)
                        : std::numeric_limits<float>::denorm_min();
    };
    if (margin(a2) >= 0.5 * ideal) return a2;
    // A few ulps always suffice: one ulp of a2 moves the margin by about the
    // ideal value itself where the margin is smallest.
    for (int step = 0; step < 64; ++step) {
        const float next = up(a2);
        if (std::fabs(margin(next) - ideal) >= std::fabs(margin(a2) - ideal) && margin(a2) > 0.0) break;
        a2 = next;
    }
    return a2;
}

// Bilinear transform of an analog section (p*s^2 + q) / (s^2 + d*s + e) with the
// prewarp k = 1/tan(pi*f/fs), s = k*(1 - z^-1)/(1 + z^-1):
//   a0 = k^2 + d*k + e,  a1 = 2*(e - k^2),  a2 = k^2 - d*k + e
//   b0 = b2 = p*k^2 + q, b1 = 2*(q - p*k^2)
// Returns a0 (some stages fold it into other constants).
template <class V>
inline float designBilinear(SosT<V>& s, float k, float d, float e, float p, float q)
{
    const float kk = k * k;
    const float a0 = kk + d * k + e;
    const float b0 = p * kk + q;
    const float a1 = 2.0f * (e - kk);
    const float ra0 = 1.0f / a0;
    fill(s.a1, a1);
    fill(s.a2, heldDcMarginA2(a1, kk - d * k + e, ra0, a0, e));
    fill(s.b0, b0);
    fill(s.b1, 2.0f * (q - p * kk));
    fill(s.b2, b0);
    fill(s.g, 1.0f);
    fill(s.ra0, ra0);
    return a0;
}

// Lowpass with damping d: prototype 1/(s^2 + d*s + 1), numerator (1, 2, 1).
template <class V>
inline float designButterworthLowpass(SosT<V>& s, float k, float d = kSqrt2)
{
    return designBilinear(s, k, d, 1.0f, 0.0f, 1.0f);
}

// Lowpass with damping sqrt2 and its output scaled, the scale and 1/a0 folded
// into one factor g = scale/a0 (see SosT::processScaledLowpass).
template <class V>
inline void designScaledLowpass(SosT<V>& s, float k, float scale)
{
    const float a0 = designButterworthLowpass(s, k);
    fill(s.g, scale / a0);
}

// Highpass with damping d: prototype s^2/(s^2 + d*s + 1), y = k^2*(w - 2w1 + w2)/a0.
template <class V>
inline float designButterworthHighpass(SosT<V>& s, float k, float d = kSqrt2)
{
    const float a0 = designBilinear(s, k, d, 1.0f, 0.0f, 1.0f);
    fill(s.b0, 1.0f);
    fill(s.b1, -2.0f);
    fill(s.b2, 1.0f);
    fill(s.g, k * k);
    return a0;
}

// Peaking section (s^2 + beta*s + 1)/(s^2 + alpha*s + 1): gain beta/alpha at the centre.
//   a0 = k^2 + alpha*k + 1, a1 = b1 = 2*(1 - k^2), a2 = k^2 - alpha*k + 1
//   b0 = k^2 + beta*k + 1,  b2 = k^2 - beta*k + 1
template <class V>
inline void designPeaking(SosT<V>& s, float k, float alpha, float beta)
{
    const float kk = k * k;
    const float a0 = kk + alpha * k + 1.0f;
    const float a1 = 2.0f * (1.0f - kk);
    const float ra0 = 1.0f / a0;
    fill(s.a1, a1);
    fill(s.a2, heldDcMarginA2(a1, kk - alpha * k + 1.0f, ra0, a0, 1.0f));
    fill(s.b0, kk + beta * k + 1.0f);
    fill(s.b1, a1);
    fill(s.b2, kk - beta * k + 1.0f);
    fill(s.g, 1.0f);
    fill(s.ra0, ra0);
}

// Runs x through an array of sections in order, first section first, written
// out in full so that no loop control runs per section. Extra arguments (the
// sample parity of z^-2 sections) go to every section.
template <class Section, std::size_t N, class V, class... Args>
inline V runCascade(std::array<Section, N>& sections, V x, Args... args)
{
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((x = sections[I].process(x, args...)), ...);
    }(std::make_index_sequence<N>{});
    return x;
}

// A cascade of second-order sections, first section first.
template <class V, std::size_t N>
struct SosCascadeT {
    std::array<SosT<V>, N> s;

    void clear()
    {
        for (auto& x : s) x.clear();
    }
    V process(V x) { return runCascade(s, x); }

    // Every section from designButterworthLowpass (see SosT::processLowpass).
    V processLowpass(V x)
    {
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((x = s[I].processLowpass(x)), ...);
        }(std::make_index_sequence<N>{});
        return x;
    }
};
template <std::size_t N>
using SosCascade = SosCascadeT<float, N>;

// ---------------------------------------------------------------------------
// First-order bilinear split at corner c = 1/tan(pi*f/fs):
//   l[n] = (x[n] + x[n-1] - (1 - c)*l[n-1]) / (1 + c)
//   h[n] = (c*x[n] - c*x[n-1] - (1 - c)*h[n-1]) / (1 + c)
// l + h = x, so l + g*h is a first-order shelf with gain 1 at DC and g at Nyquist.
template <class V>
struct FirstOrderSplitT {
    Mem<V> c;      // prewarp 1/tan(pi*f/fs)
    Mem<V> omc;    // 1 - c
    Mem<V> r1pc;   // 1/(1 + c)
    Mem<V> x1;     // x[n-1]
    Mem<V> l1;     // l[n-1]
    Mem<V> h1;     // h[n-1]

    struct Out {
        V low, high;
    };

    void design(float k)
    {
        fill(c, k);
        fill(omc, 1.0f - k);
        fill(r1pc, 1.0f / (1.0f + k));
    }
    void clear()
    {
        fill(x1, 0.0f);
        fill(l1, 0.0f);
        fill(h1, 0.0f);
    }

    Out process(V x)
    {
        const V x1v = load<V>(x1);
        const V cv = load<V>(c);
        const V om = load<V>(omc);
        const V r = load<V>(r1pc);
        const V l = (x + x1v - om * load<V>(l1)) * r;
        const V h = (cv * x - cv * x1v - om * load<V>(h1)) * r;
        store(x1, x);
        store(l1, l);
        store(h1, h);
        return {l, h};
    }
    // l + g*h.
    V shelf(V x, V g)
    {
        const Out o = process(x);
        return o.low + g * o.high;
    }
};
using FirstOrderSplit = FirstOrderSplitT<float>;

// ---------------------------------------------------------------------------
// Second-order allpass in z^-2, transfer function (c - z^-2)/(1 - c*z^-2): one
// step out[n] = c*(in[n] + out[n-2]) - in[n-2], given the input and the output
// two samples back (the analytic pair and the decorrelator keep those).
template <class V>
inline V allpassZ2Step(float c, V in, V in2, V out2)
{
    return splat<V>(c) * (in + out2) - in2;
}

// Pair of four-section allpass chains whose outputs differ in phase by roughly
// 90 degrees over the audio band: path A one sample back is the in-phase part,
// path B the quadrature part of an analytic signal.
template <class V>
struct AnalyticPairT {
    // Path coefficients, used exactly as listed.
    static constexpr std::array<float, 4> kPathA = {0.6923878f, 0.93606544f, 0.9882295f, 0.99874884f};
    static constexpr std::array<float, 4> kPathB = {0.40219212f, 0.8561711f, 0.97229093f, 0.9952885f};

    // Histories two samples back, kept in two slots by sample parity: slot
    // p = n & 1 holds the values of sample n-2 on entry and receives those of
    // sample n, with nothing to shift. A section after the first takes the
    // output of the one before it, so its in[] two samples back is that
    // section's out[] two samples back: only the pair's input and every
    // section's output are kept.
    std::array<Mem<V>, 2> xHist;                   // x[] two samples back
    std::array<std::array<Mem<V>, 8>, 2> outHist;  // out[] two samples back, [parity][section]:
                                                   // sections 0..3 are path A, 4..7 path B
    Mem<V> aPrev;                                  // path A output one sample back
    uint32_t parity;                               // sample parity, alternating

    struct Out {
        V i, q;  // in-phase I[n] = A[n-1], quadrature Q[n] = B[n]
    };

    void clear()
    {
        for (Mem<V>& m : xHist) fill(m, 0.0f);
        for (auto& h : outHist)
            for (Mem<V>& m : h) fill(m, 0.0f);
        fill(aPrev, 0.0f);
        parity = 0;
    }
    Out process(V x)
    {
        const uint32_t p = parity;
        parity = p ^ 1u;
        const V x2 = load<V>(xHist[p]);
        store(xHist[p], x);
        const V pa = path(kPathA, outHist[p].data(), x, x2);
        const V pb = path(kPathB, outHist[p].data() + 4, x, x2);
        const Out o{load<V>(aPrev), pb};
        store(aPrev, pa);
        return o;
    }

private:
    // The four sections of a path on in[n] = x with in[n-2] = x2; out2 holds
    // their out[] two samples back and receives their out[n].
    static V path(const std::array<float, 4>& c, Mem<V>* out2, V x, V x2)
    {
        V in = x, in2 = x2;
        // Unrolled, so that the coefficients are constants and not a loop's loads.
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) {
            const V o2 = load<V>(out2[j]);
            const V out = allpassZ2Step(c[j], in, in2, o2);
            store(out2[j], out);
            in = out;
            in2 = o2;
        }
        return in;
    }
};
using AnalyticPair = AnalyticPairT<float>;

// Analytic envelope detector: magnitude of the analytic signal, with its power
// floored at 3.1622778e-05 so that it never falls below 0.0056234 (-45 dB).
// The result is the same for s and -s.
template <class V>
struct AnalyticEnvelopeT {
    AnalyticPairT<V> pair;

    void clear() { pair.clear(); }
    V process(V s)
    {
        const typename AnalyticPairT<V>::Out o = pair.process(s);
        const V p = max(o.i * o.i + o.q * o.q, splat<V>(kPowerFloor));
        return sqrt(p);
    }
};
using AnalyticEnvelope = AnalyticEnvelopeT<float>;

static_assert(std::is_trivially_copyable_v<Sos>);
static_assert(std::is_trivially_copyable_v<SosT<Lane4>>);
static_assert(std::is_trivially_copyable_v<FirstOrderSplit>);
static_assert(std::is_trivially_copyable_v<AnalyticEnvelope>);
static_assert(std::is_trivially_copyable_v<AnalyticEnvelopeT<Lane4>>);
static_assert(std::is_trivially_copyable_v<Ring<64>>);
static_assert(std::is_trivially_copyable_v<SlidingMax<44>>);

}  // namespace plumbra
