// What the remote control (web server) and the terminal view see of a running
// live engine. Every call is safe from any non-real-time thread and never
// waits for the audio thread: reads come from snapshots the engine publishes,
// writes go to the audio through a lock-free queue.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "dsp/meters.h"

namespace plumbra::host::remote {

struct LiveStatus {
    std::string source = "programme";  // on air: "programme", "backup" or "safe" (processor bypassed at a safe level)
    std::string preset;                // the preset in use (file or name), empty when none
    std::string audio;                 // the device, as it describes itself
    double uptimeSeconds = 0.0;
    uint64_t xruns = 0;
    uint64_t recoveries = 0;  // processor recoveries
    int rate = 0;
    int period = 0;
    int latency = 0;              // processing latency, frames
    uint64_t writesAccepted = 0;  // control changes accepted (applyControls), counted from 1
    uint64_t writesApplied = 0;   // of those, the ones the audio has taken up (in order)
};

// The output's loudness (EBU R 128) as last measured; NaN until measured.
struct LoudnessReading {
    double momentary;
    double shortTerm;
    double integrated;
    double truePeak;    // dBTP, largest since the last log interval
    double inputLevel;  // dBFS RMS of the programme input over the last 400 ms
};

struct EventRecord {
    uint64_t seq = 0;              // increasing from 1
    nlohmann::ordered_json event;  // the object written to the event log
};

class Remote {
public:
    virtual ~Remote() = default;
    virtual LiveStatus status() const = 0;
    virtual MeterSnapshot meters() const = 0;
    virtual LoudnessReading loudness() const = 0;
    // Every control's value in its own unit, in control table order: the latest
    // accepted by applyControls, even before the audio has taken it up
    // (status().writesApplied says when it has).
    virtual std::vector<float> controls() const = 0;
    // Applies the values (control table index, value in its unit; already
    // checked against the range) together at the start of a following block.
    // `preset` names the preset now in use, or is empty to keep the name.
    // False (nothing changed) when the engine cannot take more changes now.
    virtual bool applyControls(const std::vector<std::pair<int, float>>& values, const std::string& preset) = 0;
    // The retained recent events with seq > `since`, oldest first.
    virtual std::vector<EventRecord> eventsSince(uint64_t since) const = 0;
    // Logs an event of the remote itself (e.g. "controls_changed") like the engine's own:
    // the detail's members follow the time and the event's name.
    virtual void logEvent(const std::string& type, const nlohmann::ordered_json& detail) = 0;
};

}  // namespace plumbra::host::remote
