// Delivery to a loudness standard: the named targets (integrated loudness, true-peak
// ceiling and the tolerance a delivery is checked with), reading --target and
// --true-peak, and the check of a measured programme against a target.
#pragma once

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "host/common/json.h"
#include "host/delivery/loudness.h"
#include "host/common/status.h"

namespace plumbra::host {

struct DeliveryTarget {
    std::string name;          // "ebu-r128", ..., or the number as given
    double lufs = -23;         // integrated loudness to land on
    double ceilingDbtp = -1;   // true peak at most
    double toleranceLu = 1;    // a delivery passes within target +/- this
    double maxGainDb = kDefaultMaxGainDb;  // a render never raises the programme by more
    static constexpr double kDefaultMaxGainDb = 20;
};

// A named target or a loudness in LUFS (-70 .. -5), with --true-peak's ceiling
// (-20 .. 0 dBTP) in place of the target's own when `truePeak` is not empty, and
// --max-gain's cap (0 .. 60 dB) in place of the default when `maxGain` is not.
Result<DeliveryTarget> parseTarget(const std::string& target, const std::string& truePeak,
                                   const std::string& maxGain = {});

// The table `plumbra targets` prints.
std::string targetsText();
// The named targets, each with what it is for.
std::vector<std::pair<DeliveryTarget, std::string>> namedTargets();

struct Compliance {
    bool pass = false;
    std::string reason;  // why not; empty when it passes
};
Compliance checkCompliance(const DeliveryTarget& t, const LoudnessSummary& measured);

// The target and the check as report members.
Json targetJson(const DeliveryTarget& t);
Json complianceJson(const Compliance& c);

}  // namespace plumbra::host
