// Audio-file helper for the LV2 host tests (libsndfile):
//   lv2_wav stereo IN OUT RATE   IN's first channel as a two-channel float WAV, both
//                                channels the same, with RATE written as its rate
//   lv2_wav mono IN OUT RATE     the same, one channel
//   lv2_wav same A B [--prefix]  A and B hold the same samples, bit for bit, over all of
//                                A (over B's frames with --prefix: B may be shorter);
//                                exit 0 if so, 1 if not, 2 on error
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Audio {
    SF_INFO info{};
    std::vector<float> samples;  // interleaved
};

bool load(const char* path, Audio& a)
{
    SNDFILE* f = sf_open(path, SFM_READ, &a.info);
    if (!f) {
        std::fprintf(stderr, "lv2_wav: %s: %s\n", path, sf_strerror(nullptr));
        return false;
    }
    a.samples.resize(static_cast<size_t>(a.info.frames * a.info.channels));
    const sf_count_t got = sf_readf_float(f, a.samples.data(), a.info.frames);
    sf_close(f);
    a.samples.resize(static_cast<size_t>(got * a.info.channels));
    return true;
}

int rewrite(const Audio& a, const char* path, int channels, int rate)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(path, SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "lv2_wav: %s: %s\n", path, sf_strerror(nullptr));
        return 2;
    }
    const size_t frames = a.samples.size() / static_cast<size_t>(a.info.channels);
    std::vector<float> out(frames * static_cast<size_t>(channels));
    for (size_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) out[i * channels + c] = a.samples[i * a.info.channels];
    const bool ok = sf_writef_float(f, out.data(), static_cast<sf_count_t>(frames)) == static_cast<sf_count_t>(frames);
    sf_close(f);
    return ok ? 0 : 2;
}

int same(const Audio& a, const Audio& b, bool prefix)
{
    if (a.info.channels != b.info.channels || a.info.samplerate != b.info.samplerate) {
        std::printf("different layout: %d ch %d Hz against %d ch %d Hz\n", a.info.channels, a.info.samplerate,
                    b.info.channels, b.info.samplerate);
        return 1;
    }
    const size_t n = prefix ? b.samples.size() : a.samples.size();
    if (b.samples.size() < n || n == 0) {
        std::printf("lengths differ: %zu and %zu samples\n", a.samples.size(), b.samples.size());
        return 1;
    }
    size_t differing = 0, first = 0;
    double peak = 0.0;
    for (size_t i = 0; i < n; ++i) {
        peak = std::fmax(peak, std::fabs(static_cast<double>(a.samples[i])));
        if (std::memcmp(&a.samples[i], &b.samples[i], sizeof(float)) != 0 && differing++ == 0) first = i;
    }
    const size_t ch = static_cast<size_t>(a.info.channels);
    if (differing) {
        std::printf("%zu of %zu samples differ, first at frame %zu channel %zu: %.9g against %.9g\n", differing, n,
                    first / ch, first % ch, static_cast<double>(a.samples[first]),
                    static_cast<double>(b.samples[first]));
        return 1;
    }
    if (peak == 0.0) {
        std::printf("both silent over %zu frames: nothing compared\n", n / ch);
        return 1;
    }
    std::printf("identical: %zu frames x %zu channels at %d Hz, peak %.2f dBFS\n", n / ch, ch, a.info.samplerate,
                20.0 * std::log10(peak));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    Audio a, b;
    if ((cmd == "stereo" || cmd == "mono") && argc == 5) {
        if (!load(argv[2], a)) return 2;
        return rewrite(a, argv[3], cmd == "stereo" ? 2 : 1, std::atoi(argv[4]));
    }
    if (cmd == "same" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "--prefix") == 0))) {
        if (!load(argv[2], a) || !load(argv[3], b)) return 2;
        return same(a, b, argc == 5);
    }
    std::fprintf(stderr, "usage: lv2_wav stereo|mono IN OUT RATE | lv2_wav same A B [--prefix]\n");
    return 2;
}
