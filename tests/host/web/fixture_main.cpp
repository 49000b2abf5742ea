// plumbra_web_fixture: the web server on the test fixture (the processor fed a
// generated programme at real-time pace), for the browser and load tests.
//   plumbra_web_fixture [--http ADDR:PORT|PORT|0] [--token-file F] [--preset-dir D] [--seconds N]
//                       [--record FILE]   (the output, raw 32-bit float stereo, 48 kHz)
// Prints "listening URL" once it serves; stops on SIGINT/SIGTERM or after N seconds.
// SIGUSR1 prints the time spent per block since the last SIGUSR1 (percentiles).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fixture_remote.h"
#include "host/web/server.h"

namespace {
volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t timesRequested = 0;
void onSignal(int)
{
    stopRequested = 1;
}
void onTimes(int)
{
    timesRequested = 1;
}
}  // namespace

int main(int argc, char** argv)
{
    using namespace plumbra::host::web;
    using plumbra::host::Result;
    WebOptions options;
    double seconds = 0;
    std::FILE* record = nullptr;
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) {
            std::fprintf(stderr, "%s needs a value\n", a.c_str());
            return 2;
        }
        if (a == "--http") {  // as plumbra live takes it; "0" for any free port
            auto o = std::string(v) == "0" ? Result<WebOptions>(WebOptions{}) : parseHttpAddress(v);
            if (!o.ok()) {
                std::fprintf(stderr, "%s\n", o.status().reason.c_str());
                return 2;
            }
            options.address = o->address;
            options.port = o->port;
        } else if (a == "--token-file") {
            options.tokenFile = v;
        } else if (a == "--preset-dir") {
            options.presetDir = v;
        } else if (a == "--record") {
            record = std::fopen(v, "wb");
            if (!record) {
                std::fprintf(stderr, "cannot write %s\n", v);
                return 2;
            }
        } else if (a == "--seconds") {
            seconds = std::atof(v);
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGUSR1, onTimes);  // prints the block times since the last SIGUSR1

    plumbra::webtest::FixtureRemote remote;
    remote.start(record);
    auto server = startWebServer(remote, options);
    if (!server.ok()) {
        std::fprintf(stderr, "%s\n", server.status().reason.c_str());
        return 2;
    }
    std::printf("listening %s\n", server.value()->url().c_str());
    std::fflush(stdout);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds > 0 ? seconds : 1e9);
    while (!stopRequested && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (timesRequested) {
            timesRequested = 0;
            const auto t = remote.takeBlockTimes();
            std::printf("block-times blocks=%llu p50=%.0f p99.9=%.0f max=%.0f us xruns=%llu\n",
                        static_cast<unsigned long long>(t.count), t.p50, t.p999, t.max,
                        static_cast<unsigned long long>(remote.status().xruns));
            std::fflush(stdout);
        }
    }
    server.value().reset();
    remote.stop();
    if (record) std::fclose(record);
    std::printf("stopped after %llu blocks, %llu xruns\n", static_cast<unsigned long long>(remote.blocks()),
                static_cast<unsigned long long>(remote.status().xruns));
    return 0;
}
