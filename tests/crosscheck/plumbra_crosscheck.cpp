// Cross-platform bit check of the signal arithmetic.
//
// Built for Linux and for both Windows targets. Each build prints digests of the
// chain's mathematics functions over fixed argument sets and of whole renders of
// a generated test signal through the processor; a build that computes the same
// bits prints the same lines, so comparing the output of the native build with
// that of a Windows build under Wine shows whether, and in which check, the
// arithmetic differs. The "dump" command prints every value of one check for a
// line-by-line comparison, and "signal" writes the test signal as a WAV file so
// that hosts on each platform can render the very same input; "compare" tells
// whether two rendered WAV files hold the same audio bits.
//
// Usage:
//   plumbra_crosscheck digest               one "<check> <digest>" line per check
//   plumbra_crosscheck dump <check>         every argument and result of one check, in hex
//   plumbra_crosscheck signal <file.wav> [pcm16|float]
//                                           the test signal (left: programme, right: other noise)
//   plumbra_crosscheck compare <a.wav> <b.wav>
//                                           exit 0 if both hold the same audio bits
//
// The generator uses only additions and multiplications of doubles and integer
// arithmetic, never a library function, so it produces the same samples on
// every build.
#include <array>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dsp/simd/chainmath.h"
#include "dsp/mydsp.h"

namespace {

constexpr int kSignalRate = 44100;

// ---- deterministic sources ----

struct XorShift32 {
    uint32_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    // Uniform in [-1, 1).
    double bipolar() { return static_cast<double>(static_cast<int32_t>(next())) * 0x1p-31; }
};

// sin(2 pi p) for any phase p, from its Taylor series after reduction to a
// quarter period: only +, * and comparisons, so every build gets the same bits.
double sinCycles(double p)
{
    p -= static_cast<double>(static_cast<int64_t>(p));
    if (p < 0.0) p += 1.0;
    double sign = 1.0;
    if (p >= 0.5) {
        p -= 0.5;
        sign = -1.0;
    }
    if (p > 0.25) p = 0.5 - p;
    const double x = p * 6.283185307179586;
    const double x2 = x * x;
    double term = x, sum = x;
    for (int k = 1; k < 12; ++k) {
        term *= -x2 / static_cast<double>((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sign * sum;
}

// 10^(db/20) by repeated multiplication, for whole decibels.
double dbGain(int db)
{
    const double step = 1.1220184543019633;  // 10^(1/20)
    double g = 1.0;
    for (int i = 0; i < (db < 0 ? -db : db); ++i) g *= step;
    return db < 0 ? 1.0 / g : g;
}

// The test signal, quantised to 16 bits (value / 32768) so that a 16-bit WAV
// file carries it exactly. Sections: silence, a log sweep, quiet noise, loud
// modulated tones, noise bursts, impulses, syllable-like noise, silence.
struct TestSignal {
    std::vector<float> left, right;
};

TestSignal makeSignal()
{
    const int fs = kSignalRate;
    std::vector<double> x;
    XorShift32 rng{0x2545f491u};
    auto silence = [&](double seconds) { x.insert(x.end(), static_cast<size_t>(seconds * fs), 0.0); };

    silence(0.5);
    {   // log sweep 20 Hz to 20 kHz at -12 dBFS
        const int n = fs * 3 / 2;
        const double g = dbGain(-12);
        const double ratio = 1000.0;  // 20 kHz / 20 Hz
        double f = 20.0, phase = 0.0;
        // per-sample frequency factor ratio^(1/n), by bisection on f^n = ratio
        double lo = 1.0, hi = 1.001;
        for (int it = 0; it < 80; ++it) {
            const double mid = 0.5 * (lo + hi);
            double p = 1.0;
            for (int i = 0; i < n; ++i) p *= mid;
            (p < ratio ? lo : hi) = mid;
        }
        for (int i = 0; i < n; ++i) {
            x.push_back(g * sinCycles(phase));
            phase += f / fs;
            f *= lo;
        }
    }
    {   // quiet white noise, -30 dBFS peak
        const double g = dbGain(-30);
        for (int i = 0; i < fs; ++i) x.push_back(g * rng.bipolar());
    }
    {   // loud tones 100 Hz, 997 Hz and 5 kHz with 3 Hz amplitude modulation
        const int n = fs * 3 / 2;
        for (int i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / fs;
            const double am = 0.75 + 0.25 * sinCycles(3.0 * t);
            x.push_back(am * (0.45 * sinCycles(100.0 * t) + 0.35 * sinCycles(997.0 * t) +
                              0.2 * sinCycles(5000.0 * t)));
        }
    }
    {   // noise bursts, 50 ms on, 50 ms off, -6 dBFS
        const double g = dbGain(-6);
        for (int i = 0; i < fs; ++i) x.push_back(((i / (fs / 20)) & 1) == 0 ? g * rng.bipolar() : 0.0);
    }
    {   // full-scale impulses every 100 ms, alternating sign
        for (int i = 0; i < fs / 2; ++i) x.push_back(i % (fs / 10) == 0 ? ((i / (fs / 10)) & 1 ? -0.99 : 0.99) : 0.0);
    }
    {   // syllable-like noise: lowpassed noise under a 4 Hz envelope, pitched buzz
        double lp1 = 0.0, lp2 = 0.0;
        for (int i = 0; i < fs; ++i) {
            const double t = static_cast<double>(i) / fs;
            const double env = sinCycles(2.0 * t);
            const double e = env * env;
            lp1 += 0.3 * (rng.bipolar() - lp1);
            lp2 += 0.3 * (lp1 - lp2);
            const double buzz = sinCycles(140.0 * t) + 0.5 * sinCycles(280.0 * t) + 0.25 * sinCycles(420.0 * t);
            x.push_back(0.5 * e * (0.6 * buzz + 2.0 * lp2));
        }
    }
    silence(1.0);

    TestSignal s;
    s.left.resize(x.size());
    s.right.resize(x.size());
    XorShift32 other{0x9e3779b9u};
    auto quantise = [](double v) {
        double q = v * 32768.0;
        q = q > 32767.0 ? 32767.0 : (q < -32768.0 ? -32768.0 : q);
        const int32_t i = static_cast<int32_t>(q < 0.0 ? q - 0.5 : q + 0.5);
        return static_cast<float>(i) * (1.0f / 32768.0f);
    };
    for (size_t i = 0; i < x.size(); ++i) {
        s.left[i] = quantise(x[i]);
        s.right[i] = quantise(0.25 * other.bipolar());
    }
    return s;
}

// ---- WAV output ----

void put16(std::FILE* f, uint32_t v) { const unsigned char b[2] = {uint8_t(v), uint8_t(v >> 8)}; std::fwrite(b, 1, 2, f); }
void put32(std::FILE* f, uint32_t v) { put16(f, v & 0xffffu); put16(f, v >> 16); }

bool writeWav(const char* path, const TestSignal& s, bool asFloat)
{
    std::FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    const uint32_t frames = static_cast<uint32_t>(s.left.size());
    const uint32_t bytesPerSample = asFloat ? 4 : 2;
    const uint32_t dataBytes = frames * 2 * bytesPerSample;
    std::fwrite("RIFF", 1, 4, f);
    put32(f, 36 + dataBytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    put32(f, 16);
    put16(f, asFloat ? 3 : 1);  // IEEE float or integer PCM
    put16(f, 2);
    put32(f, kSignalRate);
    put32(f, kSignalRate * 2 * bytesPerSample);
    put16(f, static_cast<uint16_t>(2 * bytesPerSample));
    put16(f, static_cast<uint16_t>(8 * bytesPerSample));
    std::fwrite("data", 1, 4, f);
    put32(f, dataBytes);
    for (uint32_t i = 0; i < frames; ++i) {
        for (float v : {s.left[i], s.right[i]}) {
            if (asFloat)
                put32(f, std::bit_cast<uint32_t>(v));
            else
                put16(f, static_cast<uint16_t>(static_cast<int16_t>(v * 32768.0f)));
        }
    }
    return std::fclose(f) == 0;
}

// ---- WAV comparison ----

struct Chunk {
    std::string id;
    std::vector<unsigned char> bytes;
};

bool readChunks(const char* path, std::vector<Chunk>& chunks)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    std::vector<unsigned char> b;
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
        return false;
    size_t i = 12;
    while (i + 8 <= b.size()) {
        const uint32_t len = b[i + 4] | (b[i + 5] << 8) | (b[i + 6] << 16) | (uint32_t(b[i + 7]) << 24);
        const size_t end = std::min(b.size(), i + 8 + static_cast<size_t>(len));
        chunks.push_back({std::string(reinterpret_cast<const char*>(&b[i]), 4),
                          std::vector<unsigned char>(b.begin() + static_cast<std::ptrdiff_t>(i + 8),
                                                     b.begin() + static_cast<std::ptrdiff_t>(end))});
        i = i + 8 + len + (len & 1);
    }
    return true;
}

// Two WAV files hold the same audio if every chunk is equal byte for byte, except
// the time stamp that a PEAK chunk carries (bytes 4 to 7 of its body).
int compareWavs(const char* a, const char* b)
{
    std::vector<Chunk> ca, cb;
    if (!readChunks(a, ca) || !readChunks(b, cb)) {
        std::fprintf(stderr, "plumbra_crosscheck: cannot read %s or %s as WAV\n", a, b);
        return 2;
    }
    int status = 0;
    if (ca.size() != cb.size()) {
        std::printf("different chunk lists (%zu and %zu chunks)\n", ca.size(), cb.size());
        return 1;
    }
    uint32_t blockAlign = 1;
    for (size_t k = 0; k < ca.size(); ++k) {
        Chunk x = ca[k], y = cb[k];
        if (x.id != y.id) {
            std::printf("chunk %zu: %s against %s\n", k, x.id.c_str(), y.id.c_str());
            return 1;
        }
        if (x.id == "fmt " && x.bytes.size() >= 14) blockAlign = x.bytes[12] | (x.bytes[13] << 8);
        if (x.id == "PEAK" && x.bytes.size() >= 8 && y.bytes.size() >= 8)
            for (int t = 4; t < 8; ++t) x.bytes[t] = y.bytes[t] = 0;
        if (x.bytes == y.bytes) continue;
        status = 1;
        if (x.id != "data" || x.bytes.size() != y.bytes.size()) {
            std::printf("chunk %s differs (%zu and %zu bytes)\n", x.id.c_str(), x.bytes.size(), y.bytes.size());
            continue;
        }
        size_t first = 0, count = 0;
        for (size_t i = 0; i + blockAlign <= x.bytes.size(); i += blockAlign) {
            if (std::memcmp(&x.bytes[i], &y.bytes[i], blockAlign) != 0) {
                if (count++ == 0) first = i / blockAlign;
            }
        }
        std::printf("audio differs in %zu of %zu frames, first at frame %zu\n", count,
                    x.bytes.size() / blockAlign, first);
    }
    if (status == 0) std::printf("identical audio (%s, %s)\n", a, b);
    return status;
}

// ---- checks ----

// A check feeds every value it computes to a sink: the digest sink folds the
// bits into a 64-bit FNV-1a hash, the dump sink prints them.
struct Sink {
    bool dump = false;
    uint64_t hash = 0xcbf29ce484222325ull;
    uint64_t count = 0;
    void value(uint32_t bits)
    {
        for (int b = 0; b < 4; ++b) {
            hash ^= (bits >> (8 * b)) & 0xffu;
            hash *= 0x100000001b3ull;
        }
        ++count;
    }
    void unary(float a, float r)
    {
        value(std::bit_cast<uint32_t>(r));
        if (dump) std::printf("%08" PRIx32 " %08" PRIx32 "\n", std::bit_cast<uint32_t>(a), std::bit_cast<uint32_t>(r));
    }
    void binary(float a, float b, float r)
    {
        value(std::bit_cast<uint32_t>(r));
        if (dump)
            std::printf("%08" PRIx32 " %08" PRIx32 " %08" PRIx32 "\n", std::bit_cast<uint32_t>(a),
                        std::bit_cast<uint32_t>(b), std::bit_cast<uint32_t>(r));
    }
};

// Arguments of a one-argument function: an even sweep over the range the chain
// uses, then every 4099th bit pattern of the whole float line (both signs,
// subnormals, infinities and NaNs included).
template <typename F>
void unaryCheck(Sink& s, F f, float lo, float hi)
{
    const int n = 200000;
    for (int i = 0; i <= n; ++i) {
        const float a = lo + (hi - lo) * (static_cast<float>(i) / static_cast<float>(n));
        s.unary(a, f(a));
    }
    for (uint64_t bits = 0; bits <= 0xffffffffull; bits += 4099) {
        const float a = std::bit_cast<float>(static_cast<uint32_t>(bits));
        s.unary(a, f(a));
    }
}

void checkPow(Sink& s)
{
    // The chain's decibel conversion over -150 dB to +100 dB in 0.01 dB steps.
    for (int i = -15000; i <= 10000; ++i) {
        const float db = static_cast<float>(i) * 0.01f;
        s.binary(10.0f, 0.05f * db, chainmath::pow(10.0f, 0.05f * db));
    }
    // A grid of bases and exponents, then random bit patterns.
    for (int i = 0; i < 700; ++i) {
        const float x = std::bit_cast<float>(0x00400000u + static_cast<uint32_t>(i) * 0x00292492u);
        for (int j = 0; j < 700; ++j) {
            const float y = -40.0f + 80.0f * (static_cast<float>(j) / 699.0f);
            s.binary(x, y, chainmath::pow(x, y));
        }
    }
    XorShift32 rng{12345u};
    for (int i = 0; i < 300000; ++i) {
        const float x = std::bit_cast<float>(rng.next());
        const float y = std::bit_cast<float>(rng.next());
        s.binary(x, y, chainmath::pow(x, y));
    }
}

// A render of the test signal through the processor, in blocks of varying
// length (1 to 2048 samples), with the controls at their defaults or at a
// second setting; the output bits of both channels, sample by sample.
void checkRender(Sink& s, int rate, bool altControls)
{
    static const TestSignal sig = makeSignal();
    auto p = std::make_unique<plumbra::mydsp>();
    p->initialise(rate);
    if (altControls) {
        plumbra::Controls& c = p->controls();
        plumbra::storeControl(c.lowpassFreq, 15000.0f);
        plumbra::storeControl(c.disableWrmiEq, 1.0f);
        plumbra::storeControl(c.dnrLpfDisable, 1.0f);
        plumbra::storeControl(c.masterGateGain, 20.0f);
        plumbra::storeControl(c.outAgcThreshold, 0.0f);
        plumbra::storeControl(c.bweLevel, -10.0f);
        plumbra::storeControl(c.band1Level, 15.0f);
    }
    const size_t frames = sig.left.size();
    std::vector<float> in0(sig.left), in1(sig.right), out0(frames), out1(frames);
    XorShift32 rng{777u};
    size_t pos = 0;
    while (pos < frames) {
        size_t len = 1 + (rng.next() & 2047u);
        if (len > frames - pos) len = frames - pos;
        float* ins[2] = {in0.data() + pos, in1.data() + pos};
        float* outs[2] = {out0.data() + pos, out1.data() + pos};
        p->processBlock(static_cast<int32_t>(len), ins, outs);
        pos += len;
    }
    for (size_t i = 0; i < frames; ++i) {
        s.value(std::bit_cast<uint32_t>(out0[i]));
        s.value(std::bit_cast<uint32_t>(out1[i]));
        if (s.dump)
            std::printf("%zu %08" PRIx32 " %08" PRIx32 " %08" PRIx32 "\n", i, std::bit_cast<uint32_t>(in0[i]),
                        std::bit_cast<uint32_t>(out0[i]), std::bit_cast<uint32_t>(out1[i]));
    }
}

struct Check {
    const char* name;
    void (*run)(Sink&);
};

const Check kChecks[] = {
    {"signal", [](Sink& s) { const TestSignal sig = makeSignal(); for (size_t i = 0; i < sig.left.size(); ++i) s.binary(sig.left[i], sig.right[i], 0.0f); }},
    {"math.exp", [](Sink& s) { unaryCheck(s, [](float a) { return chainmath::exp(a); }, -110.0f, 90.0f); }},
    {"math.tan", [](Sink& s) { unaryCheck(s, [](float a) { return chainmath::tan(a); }, 0.0f, 1.5707963f); }},
    {"math.atan", [](Sink& s) { unaryCheck(s, [](float a) { return chainmath::atan(a); }, -100.0f, 100.0f); }},
    {"math.sin", [](Sink& s) { unaryCheck(s, [](float a) { return chainmath::sin(a); }, -7.0f, 7.0f); }},
    {"math.pow", checkPow},
    {"render.44100.defaults", [](Sink& s) { checkRender(s, 44100, false); }},
    {"render.48000.altered", [](Sink& s) { checkRender(s, 48000, true); }},
};

int usage()
{
    std::fprintf(stderr,
                 "usage: plumbra_crosscheck digest\n"
                 "       plumbra_crosscheck dump <check>\n"
                 "       plumbra_crosscheck signal <file.wav> [pcm16|float]\n"
                 "       plumbra_crosscheck compare <a.wav> <b.wav>\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return usage();
    const std::string cmd = argv[1];
    if (cmd == "digest" && argc == 2) {
        for (const Check& c : kChecks) {
            Sink s;
            c.run(s);
            std::printf("%s %016" PRIx64 " %" PRIu64 "\n", c.name, s.hash, s.count);
        }
        return 0;
    }
    if (cmd == "dump" && argc == 3) {
        for (const Check& c : kChecks) {
            if (std::strcmp(c.name, argv[2]) == 0) {
                Sink s;
                s.dump = true;
                c.run(s);
                return 0;
            }
        }
        std::fprintf(stderr, "plumbra_crosscheck: no check named %s\n", argv[2]);
        return 2;
    }
    if (cmd == "signal" && (argc == 3 || argc == 4)) {
        const std::string format = argc == 4 ? argv[3] : "pcm16";
        if (format != "pcm16" && format != "float") return usage();
        if (!writeWav(argv[2], makeSignal(), format == "float")) {
            std::fprintf(stderr, "plumbra_crosscheck: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (cmd == "compare" && argc == 4) return compareWavs(argv[2], argv[3]);
    return usage();
}
