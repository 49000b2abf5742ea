// Running the built plumbra as a user would, for the host's end-to-end tests:
// the program with its arguments, standard streams and limits, the audio files
// it writes, and the test programme they are rendered from.
#pragma once

#include <dlfcn.h>
#include <ebur128.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dsp/meters.h"
#include "host/engine/engine.h"
#include "support/plugin_loader.h"
#include "support/temp_dir.h"

namespace plumbra_test {

constexpr const char* kHost = PLUMBRA_HOST_PATH;
constexpr int kBlock = 1024;  // plumbra's default block size

// ---- running the program ---------------------------------------------------

struct HostRun {
    int code = -1;
    std::string out;  // standard output, when not redirected to a file
    std::string err;  // standard error
    int errLines() const
    {
        int n = 0;
        for (char c : err) n += c == '\n';
        return n;
    }
};

struct Redirect {
    std::string stdinPath;     // empty: /dev/null
    std::string stdoutPath;    // empty: captured into Run::out
    rlim_t fileSizeLimit = 0;  // non-zero: RLIMIT_FSIZE of the child
    std::string pluginEnv;     // PLUMBRA_PLUGIN of the child (unset when empty)
    std::string cwd;           // working folder of the child (unchanged when empty)
};

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

using plumbra::test::TempDir;

inline HostRun runHost(const std::vector<std::string>& args, const TempDir& dir, const Redirect& r = {})
{
    const std::string outFile = dir / ".stdout", errFile = dir / ".stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(r.stdinPath.empty() ? "/dev/null" : r.stdinPath.c_str(), O_RDONLY);
        int out =
            open(r.stdoutPath.empty() ? outFile.c_str() : r.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!r.cwd.empty() && chdir(r.cwd.c_str()) != 0) _exit(126);
        if (r.fileSizeLimit) {
            rlimit lim{r.fileSizeLimit, r.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (r.pluginEnv.empty())
            unsetenv("PLUMBRA_PLUGIN");
        else
            setenv("PLUMBRA_PLUGIN", r.pluginEnv.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(kHost));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(kHost, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    HostRun res;
    res.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r.stdoutPath.empty()) res.out = slurp(outFile);
    res.err = slurp(errFile);
    unlink(outFile.c_str());
    unlink(errFile.c_str());
    return res;
}

// A shell pipeline, for standard input and output that are real pipes.
inline int runShell(const std::string& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- audio files -------------------------------------------------------------

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;
    int64_t frames = 0;
    std::vector<float> data;  // interleaved
};

inline void writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels, int rate,
                       int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
    sf_close(f);
}

inline Audio readAudio(const std::string& path)
{
    Audio a;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return a;
    a.rate = info.samplerate;
    a.channels = info.channels;
    a.format = info.format;
    std::vector<float> buf(4096 * static_cast<size_t>(info.channels));
    sf_count_t n;
    while ((n = sf_readf_float(f, buf.data(), 4096)) > 0)
        a.data.insert(a.data.end(), buf.begin(), buf.begin() + n * info.channels);
    a.frames = static_cast<int64_t>(a.data.size()) / info.channels;
    sf_close(f);
    return a;
}

// Speech-band noise with tone bursts and a quiet stretch: 1.5 s, seeded.
inline std::vector<float> testSignal(int rate, double seconds = 1.5, unsigned seed = 7)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const size_t n = static_cast<size_t>(seconds * rate);
    std::vector<float> x(n);
    float lp = 0;
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        lp += 0.3f * (u(rng) - lp);
        const float burst = (static_cast<int>(t * 4) % 2 == 0) ? 0.3f : 0.02f;
        x[i] = burst * (0.5f * lp + 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * t)));
    }
    return x;
}

// The plug-in driven directly: rate, block size, parameters, resume, then the
// signal followed by `latency` zeros, in blocks of kBlock. Returns the two
// output channels interleaved, (signal + latency) frames long.
inline std::vector<float> processDirect(const std::vector<float>& mono, int rate,
                                        const std::vector<std::pair<int, float>>& params, int* latencyOut = nullptr)
{
    plumbra::test::Plugin p(plumbra::test::kPluginPath);
    EXPECT_TRUE(p);
    if (!p) return {};
    const int latency = p.effect()->initialDelay;
    if (latencyOut) *latencyOut = latency;
    p.dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
    p.dispatch(effSetBlockSize, 0, kBlock);
    for (const auto& [i, v] : params) p.setParameter(i, v);
    p.dispatch(effMainsChanged, 0, 1);
    std::vector<float> in(mono);
    in.resize(mono.size() + static_cast<size_t>(latency), 0.0f);
    std::vector<float> out(2 * in.size());
    std::vector<float> zero(kBlock, 0.0f), l(kBlock), r(kBlock);
    for (size_t pos = 0; pos < in.size(); pos += kBlock) {
        const int n = static_cast<int>(std::min<size_t>(kBlock, in.size() - pos));
        float* ins[2] = {in.data() + pos, zero.data()};
        float* outs[2] = {l.data(), r.data()};
        p.processReplacing(ins, outs, n);
        for (int i = 0; i < n; ++i) {
            out[2 * (pos + static_cast<size_t>(i))] = l[static_cast<size_t>(i)];
            out[2 * (pos + static_cast<size_t>(i)) + 1] = r[static_cast<size_t>(i)];
        }
    }
    p.dispatch(effMainsChanged, 0, 0);
    return out;
}

inline std::vector<float> frames(const std::vector<float>& interleaved, size_t first, size_t count, int channels = 2)
{
    return std::vector<float>(interleaved.begin() + static_cast<std::ptrdiff_t>(first * channels),
                              interleaved.begin() + static_cast<std::ptrdiff_t>((first + count) * channels));
}

inline bool bitEqual(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// A number from the JSON report: the first value after "key": inside the given section.
inline double jsonValue(const std::string& json, const std::string& section, const std::string& key)
{
    size_t at = section.empty() ? 0 : json.find("\"" + section + "\"");
    at = json.find("\"" + key + "\"", at);
    if (at == std::string::npos) return NAN;
    at = json.find(':', at);
    return std::strtod(json.c_str() + at + 1, nullptr);
}

// ---- rendering ----------------------------------------------------------------

struct Measured {
    double integrated, range, truePeak;
};

inline Measured measure(const Audio& a)
{
    ebur128_state* st = ebur128_init(static_cast<unsigned>(a.channels), static_cast<unsigned long>(a.rate),
                                     EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, a.data.data(), static_cast<size_t>(a.frames));
    Measured m{};
    ebur128_loudness_global(st, &m.integrated);
    ebur128_loudness_range(st, &m.range);
    double peak = 0;
    for (int c = 0; c < a.channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    m.truePeak = 20 * std::log10(peak);
    ebur128_destroy(&st);
    return m;
}

}  // namespace plumbra_test

using namespace plumbra_test;
