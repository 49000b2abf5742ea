// Synthesis of the demo programme.
#include "host/render/demo.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace plumbra::host {

namespace {

constexpr double kFs = kDemoRate;
constexpr double kPi = 3.14159265358979323846;

// sin(2*pi*turns), from a Taylor series on a quarter period: no library call,
// so the result is the same wherever IEEE double arithmetic is.
double sinTurns(double turns)
{
    double x = turns - std::floor(turns);  // 0 <= x < 1
    double sign = 1.0;
    if (x >= 0.5) {
        x -= 0.5;
        sign = -1.0;
    }
    if (x > 0.25) x = 0.5 - x;
    const double t = 2.0 * kPi * x;  // 0 .. pi/2
    const double t2 = t * t;
    // t - t^3/3! + t^5/5! - ... + t^17/17!, evaluated from the highest term down.
    double s = 1.0 / 355687428096000.0;
    s = 1.0 / 1307674368000.0 - t2 * s;
    s = 1.0 / 6227020800.0 - t2 * s;
    s = 1.0 / 39916800.0 - t2 * s;
    s = 1.0 / 362880.0 - t2 * s;
    s = 1.0 / 5040.0 - t2 * s;
    s = 1.0 / 120.0 - t2 * s;
    s = 1.0 / 6.0 - t2 * s;
    s = 1.0 - t2 * s;
    return sign * t * s;
}

double cosTurns(double turns) { return sinTurns(turns + 0.25); }

// splitmix64: small, fast and fully specified.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
    double bipolar() { return 2.0 * uniform() - 1.0; }
    double range(double a, double b) { return a + (b - a) * uniform(); }
};

// Two-pole resonator at f Hz with bandwidth bw Hz, roughly unity gain at its peak.
struct Resonator {
    double y1 = 0, y2 = 0;
    double process(double x, double f, double bw)
    {
        const double r = 1.0 - kPi * bw / kFs;
        const double c = 2.0 * r * cosTurns(f / kFs);
        const double y = (1.0 - r) * 2.0 * x + c * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// Raised-cosine ramp from 0 to 1 over [0, 1].
double ramp(double u)
{
    if (u <= 0) return 0;
    if (u >= 1) return 1;
    return 0.5 - 0.5 * cosTurns(0.5 * u);
}

using Buffer = std::vector<double>;

// ---- speech ------------------------------------------------------------------

struct Vowel {
    double f1, f2, f3;
};
constexpr Vowel kVowels[] = {
    {730, 1090, 2440},  // a
    {530, 1840, 2480},  // e
    {270, 2290, 3010},  // i
    {570, 840, 2410},   // o
    {300, 870, 2240},   // u
    {660, 1720, 2410},  // ae
};

// Syllables with a voiced vowel, sometimes after a fricative, grouped into
// words and phrases with pauses between them, on a falling intonation.
Buffer speech(double seconds, double f0Base, uint64_t seed)
{
    const size_t n = static_cast<size_t>(seconds * kFs);
    Buffer out(n, 0.0);
    Rng rng{seed};
    Resonator r1, r2, r3, fric;
    double phase = 0, prevPulse = 0;
    double f1 = 500, f2 = 1500, f3 = 2500;
    size_t i = static_cast<size_t>(0.05 * kFs);
    double phraseStart = 0;
    while (i < n) {
        const int syllables = 1 + static_cast<int>(rng.uniform() * 3.0);
        for (int s = 0; s < syllables && i < n; ++s) {
            const Vowel& v = kVowels[rng.next() % 6];
            const bool hasFricative = rng.uniform() < 0.35;
            const size_t fricLen = hasFricative ? static_cast<size_t>(rng.range(0.05, 0.11) * kFs) : 0;
            const size_t vowelLen = static_cast<size_t>(rng.range(0.12, 0.28) * kFs);
            const double fricBright = rng.range(3500, 6500);
            const double accent = rng.range(0.95, 1.2);
            for (size_t k = 0; k < fricLen + vowelLen && i < n; ++k, ++i) {
                const double t = static_cast<double>(i) / kFs;
                double y = 0;
                if (k < fricLen) {
                    const double u = static_cast<double>(k) / static_cast<double>(fricLen);
                    const double env = ramp(u * 4.0) * ramp((1.0 - u) * 3.0);
                    y += 0.35 * env * fric.process(rng.bipolar(), fricBright, 1800);
                } else {
                    const double kv = static_cast<double>(k - fricLen);
                    const double env = ramp(kv / (0.025 * kFs)) * ramp((static_cast<double>(vowelLen) - kv) / (0.05 * kFs));
                    // Pitch: accent per syllable, slow wobble, falling over the phrase.
                    const double decl = 1.1 - 0.25 * std::min(1.0, (t - phraseStart) / 2.5);
                    const double f0 = f0Base * accent * decl * (1.0 + 0.03 * sinTurns(5.5 * t));
                    phase += f0 / kFs;
                    phase -= std::floor(phase);
                    // Glottal pulse: open for 60% of the period, then differentiated.
                    const double pulse = phase < 0.6 ? 0.5 - 0.5 * cosTurns(phase / 0.6) : 0.0;
                    const double src = (pulse - prevPulse) * 20.0 + 0.02 * rng.bipolar();
                    prevPulse = pulse;
                    f1 += (v.f1 - f1) * 0.003;
                    f2 += (v.f2 - f2) * 0.003;
                    f3 += (v.f3 - f3) * 0.003;
                    const double a = r1.process(src, f1, 90);
                    const double b = r2.process(a, f2, 120);
                    const double c = r3.process(b, f3, 170);
                    y += env * (a * 0.5 + b + c * 0.7);
                }
                out[i] = y;
            }
        }
        // Gap after the word, longer after a phrase.
        double gap = rng.range(0.06, 0.22);
        if (static_cast<double>(i) / kFs - phraseStart > 2.2) {
            gap = rng.range(0.35, 0.6);
            phraseStart = static_cast<double>(i) / kFs + gap;
        }
        i += static_cast<size_t>(gap * kFs);
    }
    return out;
}

// ---- music -------------------------------------------------------------------

// Equal-tempered frequencies of MIDI notes 28 to 84 would need pow(); a short
// table of the notes used does not.
double noteHz(int midi)
{
    static constexpr double kC2 = 65.40639132514966;  // MIDI 36
    static constexpr double kSemitone[12] = {1.0,
                                             1.0594630943592953,
                                             1.122462048309373,
                                             1.189207115002721,
                                             1.2599210498948732,
                                             1.3348398541700344,
                                             1.4142135623730951,
                                             1.4983070768766815,
                                             1.5874010519681994,
                                             1.6817928305074290,
                                             1.7817974362806785,
                                             1.8877486253633870};
    const int rel = midi - 36;
    const int octave = rel >= 0 ? rel / 12 : -((11 - rel) / 12);
    const int step = rel - 12 * octave;
    double f = kC2 * kSemitone[step];
    for (int o = 0; o < octave; ++o) f *= 2.0;
    for (int o = 0; o > octave; --o) f *= 0.5;
    return f;
}

// Additive tone from harmonics 1..K with amplitudes 1/k^slope, by the Chebyshev
// recurrence sin(k x) = 2 cos(x) sin((k-1) x) - sin((k-2) x).
double additive(double phase, int harmonics, bool bright, bool oddOnly)
{
    const double s1 = sinTurns(phase), c1 = cosTurns(phase);
    double prev = 0.0, cur = s1, sum = 0.0;
    for (int k = 1; k <= harmonics; ++k) {
        if (!oddOnly || (k & 1)) sum += cur / (bright ? static_cast<double>(k) : static_cast<double>(k * k));
        const double next = 2.0 * c1 * cur - prev;
        prev = cur;
        cur = next;
    }
    return sum;
}

int harmonicsBelow(double f, double limit)
{
    int k = static_cast<int>(limit / f);
    return std::clamp(k, 1, 48);
}

// A four-chord loop at 120 beats per minute: pad, bass, drums and (when bright)
// a lead line and hi-hats. Dull music is filtered down to a soft, dark sound.
Buffer music(double seconds, bool bright, uint64_t seed)
{
    const size_t n = static_cast<size_t>(seconds * kFs);
    Buffer out(n, 0.0);
    Rng rng{seed};
    static constexpr int kRoots[4] = {48, 45, 41, 43};  // C, A, F, G
    static constexpr int kThirds[4] = {4, 3, 4, 4};
    const double beat = 0.5;
    double padPhase[4] = {0, 0, 0, 0}, bassPhase = 0, leadPhase = 0, kickPhase = 0;
    double kickEnv = 0, kickPitch = 0, hatEnv = 0, snareEnv = 0, bassEnv = 0, leadEnv = 0;
    double hatPrev = 0, hatPrev2 = 0, lp1 = 0, lp2 = 0;
    Resonator snareBody;
    const double ceiling = bright ? 15000.0 : 1800.0;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kFs;
        const int beatIndex = static_cast<int>(t / beat);
        const double inBeat = t - beatIndex * beat;
        const int chord = (beatIndex / 4) % 4;
        const int root = kRoots[chord];
        const bool beatStart = i == static_cast<size_t>(beatIndex * beat * kFs);
        const bool eighthStart = beatStart || i == static_cast<size_t>((beatIndex * beat + beat / 2) * kFs);
        if (beatStart) {
            if (bright || beatIndex % 2 == 0) {
                kickEnv = 1.0;
                kickPitch = 1.0;
            }
            if (bright && beatIndex % 2 == 1) snareEnv = 1.0;
            bassEnv = 1.0;
        }
        if (eighthStart && bright) {
            hatEnv = 0.6 + 0.4 * rng.uniform();
            leadEnv = 1.0;
        }
        // Pad: root, third, fifth and octave.
        const int notes[4] = {root, root + kThirds[chord], root + 7, root + 12};
        double pad = 0;
        for (int k = 0; k < 4; ++k) {
            const double f = noteHz(notes[k]) * (1.0 + 0.0015 * (k - 1.5));
            padPhase[k] += f / kFs;
            padPhase[k] -= std::floor(padPhase[k]);
            pad += additive(padPhase[k], harmonicsBelow(f, ceiling), bright, false);
        }
        // Bass: root two octaves down, plucked.
        const double fb = noteHz(root - 24 + 12);
        bassPhase += fb / kFs;
        bassPhase -= std::floor(bassPhase);
        const double bass = bassEnv * (sinTurns(bassPhase) + 0.3 * sinTurns(2.0 * bassPhase));
        bassEnv *= 0.99985;
        // Kick: a falling sine.
        kickPhase += (45.0 + 90.0 * kickPitch) / kFs;
        kickPhase -= std::floor(kickPhase);
        const double kick = kickEnv * sinTurns(kickPhase);
        kickEnv *= 0.99975;
        kickPitch *= 0.9992;
        double y = 0.35 * pad + 0.5 * bass + 0.9 * kick;
        if (bright) {
            // Lead: an arpeggio of the chord in eighths, square-like (odd harmonics).
            const int step = static_cast<int>(inBeat >= beat / 2) + 2 * (beatIndex % 2);
            const double fl = noteHz(notes[step] + 24);
            leadPhase += fl / kFs;
            leadPhase -= std::floor(leadPhase);
            const double lead = leadEnv * additive(leadPhase, harmonicsBelow(fl, 14000.0), true, true);
            leadEnv *= 0.99993;
            // Hi-hat: twice-differentiated noise; snare: band of noise with a body.
            const double noise = rng.bipolar();
            const double hat = hatEnv * (noise - 2.0 * hatPrev + hatPrev2);
            hatPrev2 = hatPrev;
            hatPrev = noise;
            hatEnv *= 0.9985;
            const double snare = snareEnv * (0.6 * noise + snareBody.process(noise, 190, 60) * 3.0);
            snareEnv *= 0.9993;
            y += 0.25 * lead + 0.12 * hat + 0.35 * snare;
        } else {
            // Dark: two one-pole lowpasses at about 800 Hz.
            lp1 += 0.107 * (y - lp1);
            lp2 += 0.107 * (lp1 - lp2);
            y = lp2;
        }
        out[i] = y;
    }
    return out;
}

// Faint room tone: lowpassed noise.
Buffer roomTone(double seconds, uint64_t seed)
{
    const size_t n = static_cast<size_t>(seconds * kFs);
    Buffer out(n, 0.0);
    Rng rng{seed};
    double lp = 0;
    for (size_t i = 0; i < n; ++i) {
        lp += 0.2 * (rng.bipolar() - lp);
        out[i] = lp;
    }
    return out;
}

// Scales a passage to the given peak (linear) and fades its ends over 10 ms.
void place(std::vector<double>& programme, const Buffer& passage, double startSeconds, double peak)
{
    const double fade = 0.01 * kFs;
    auto faded = [&](size_t k) {
        const double edge = std::min(static_cast<double>(k), static_cast<double>(passage.size() - 1 - k));
        return passage[k] * ramp(edge / fade);
    };
    double max = 0;
    for (size_t k = 0; k < passage.size(); ++k) max = std::max(max, std::fabs(faded(k)));
    const double gain = max > 0 ? peak / max : 0.0;
    const size_t start = static_cast<size_t>(startSeconds * kFs);
    for (size_t k = 0; k < passage.size() && start + k < programme.size(); ++k)
        programme[start + k] += faded(k) * gain;
}

class DemoSource final : public AudioSource {
public:
    explicit DemoSource(double seconds) : samples_(demoProgramme(seconds))
    {
        format_.rate = kDemoRate;
        format_.channels = 1;
        format_.frames = static_cast<int64_t>(samples_.size());
        format_.sfFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    }
    const AudioFormat& format() const override { return format_; }
    std::string name() const override { return "the demo programme"; }
    Result<int64_t> read(float* interleaved, int64_t frames) override
    {
        const int64_t left = static_cast<int64_t>(samples_.size()) - static_cast<int64_t>(pos_);
        const int64_t n = std::min(frames, left);
        std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(pos_), n, interleaved);
        pos_ += static_cast<size_t>(n);
        return n;
    }

private:
    std::vector<float> samples_;
    size_t pos_ = 0;
    AudioFormat format_;
};

}  // namespace

std::vector<float> demoProgramme(double seconds)
{
    seconds = std::clamp(seconds, 0.0, kDemoSeconds);
    std::vector<double> p(static_cast<size_t>(seconds * kFs), 0.0);
    struct Passage {
        double start;
        double peak;  // linear
        Buffer (*make)();
    };
    // Peaks as linear factors: -16, -3, -62, -2, -22, -8 and -20 dBFS.
    static const Passage passages[] = {
        {0.0, 0.15848931924611134, [] { return speech(6.0, 110.0, 1); }},     // quiet male voice
        {6.0, 0.7079457843841379, [] { return speech(6.0, 205.0, 2); }},      // loud female voice
        {12.3, 0.0007943282347242815, [] { return roomTone(1.4, 3); }},       // pause: faint room tone
        {14.0, 0.7943282347242815, [] { return music(6.0, true, 4); }},       // loud, bright music
        {20.0, 0.07943282347242814, [] { return music(6.0, false, 5); }},     // quiet, dull music
        {26.0, 0.3981071705534972, [] { return speech(4.0, 125.0, 6); }},     // voice ...
        {26.0, 0.1, [] { return music(4.0, false, 7); }},                     // ... over a music bed
    };
    // Each passage is generated whole (its level depends on its own peak), and only if it is reached.
    for (const auto& passage : passages)
        if (passage.start < seconds) place(p, passage.make(), passage.start, passage.peak);
    std::vector<float> out(static_cast<size_t>(seconds * kFs));
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(p[i]);
    return out;
}

std::unique_ptr<AudioSource> makeDemoSource(double seconds)
{
    return std::make_unique<DemoSource>(seconds);
}

}  // namespace plumbra::host
