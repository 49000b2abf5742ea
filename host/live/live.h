// plumbra live: the processor on air by itself, from a JACK client or ALSA
// devices, with silence detection and failover, supervision, an event log and
// a loudness log. Linux only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/common/status.h"
#include "host/devices/jack.h"
#include "host/live/live_engine.h"
#include "host/remote/remote.h"

namespace plumbra::host::live {

using remote::Remote;

struct LiveOptions {
    devices::JackOptions jack;
    std::string alsaIn, alsaOut;  // both set: ALSA instead of JACK
    int alsaRate = 48000, alsaPeriod = 256;
    LiveSettings settings;
    std::string backup;             // file or folder, for a backup without ports
    std::string preset;             // re-read on SIGHUP
    std::vector<std::string> sets;  // NAME=VALUE after the preset
    std::string eventLog;           // empty: standard error when it is not a terminal
    std::string onEvent;
    std::string loudnessLog;
    double logInterval = 10.0;
    double duration = 0.0;  // 0: until stopped
    bool quiet = false;
    // Anything else that watches or steers the engine (a remote control server):
    // started once the engine is on air, with the engine's remote view; the
    // function it returns is called before the engine stops.
    std::vector<std::function<std::function<void()>(Remote&)>> attach;
};

Status runLive(const LiveOptions& options);

}  // namespace plumbra::host::live

namespace plumbra::host {
struct Args;
}

namespace plumbra::host::live {
// Checks plumbra live's options and runs it.
Status runLiveCommand(const Args& args);
}  // namespace plumbra::host::live
