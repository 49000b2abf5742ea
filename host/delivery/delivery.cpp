// The delivery targets and the compliance check.
#include "host/delivery/delivery.h"

#include <cmath>
#include <cstdlib>

#include "host/common/options.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace {

struct NamedTarget {
    const char* name;
    double lufs, ceilingDbtp, toleranceLu;
    const char* what;
};

// Tolerances: EBU R 128 allows +/-1 LU for programmes where exact normalisation is
// not achievable; ATSC A/85 counts +/-2 LU as compliant; the podcast and streaming
// platforms' -16/-19/-14 are checked at +/-1 LU.
constexpr NamedTarget kNamedTargets[] = {
    {"ebu-r128", -23, -1, 1, "EBU R 128 broadcast programmes"},
    {"atsc-a85", -24, -2, 2, "ATSC A/85 (US television), LKFS = LUFS"},
    {"podcast", -16, -1, 1, "podcasts and spoken word, stereo"},
    {"podcast-mono", -19, -1, 1, "podcasts delivered as mono files"},
    {"streaming", -14, -1, 1, "music streaming services"},
};

bool numberIn(const std::string& text, double lo, double hi, double& out)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= lo && v <= hi)) return false;
    out = v;
    return true;
}

}  // namespace

Result<DeliveryTarget> parseTarget(const std::string& target, const std::string& truePeak, const std::string& maxGain)
{
    DeliveryTarget t;
    bool found = false;
    for (const NamedTarget& n : kNamedTargets)
        if (lower(target) == n.name) {
            t = {n.name, n.lufs, n.ceilingDbtp, n.toleranceLu};
            found = true;
        }
    if (!found) {
        if (!numberIn(target, -70, -5, t.lufs))
            return usage("--target wants a name (plumbra targets lists them) or a loudness from -70 to -5 LUFS, not \"" +
                         target + "\"");
        t.name = printed("%g LUFS", t.lufs);
    }
    if (!truePeak.empty() && !numberIn(truePeak, -20, 0, t.ceilingDbtp))
        return usage("--true-peak wants a ceiling from -20 to 0 dBTP, not \"" + truePeak + "\"");
    if (!maxGain.empty() && !numberIn(maxGain, 0, 60, t.maxGainDb))
        return usage("--max-gain wants a gain from 0 to 60 dB, not \"" + maxGain + "\"");
    return t;
}

std::vector<std::pair<DeliveryTarget, std::string>> namedTargets()
{
    std::vector<std::pair<DeliveryTarget, std::string>> out;
    for (const NamedTarget& n : kNamedTargets) out.push_back({{n.name, n.lufs, n.ceilingDbtp, n.toleranceLu}, n.what});
    return out;
}

std::string targetsText()
{
    std::string out = printed("%-14s %9s %10s %10s  %s\n", "target", "loudness", "true peak", "tolerance", "for");
    for (const NamedTarget& n : kNamedTargets)
        out += printed("%-14s %4.0f LUFS %5.0f dBTP %7s LU  %s\n", n.name, n.lufs, n.ceilingDbtp,
                       printed("+/-%.0f", n.toleranceLu).c_str(), n.what);
    out += "\n--target also takes a loudness in LUFS (ceiling -1 dBTP, tolerance +/-1 LU);\n"
           "--true-peak DBTP replaces the ceiling of any target.\n";
    return out;
}

Compliance checkCompliance(const DeliveryTarget& t, const LoudnessSummary& m)
{
    Compliance c;
    if (!std::isfinite(m.integratedLufs)) {
        c.reason = "no loudness: the programme is silent or shorter than 400 ms";
        return c;
    }
    const double off = m.integratedLufs - t.lufs;
    if (std::fabs(off) > t.toleranceLu)
        c.reason = printed("loudness %.2f LUFS is %.2f LU %s the target %g +/- %g", m.integratedLufs, std::fabs(off),
                           off > 0 ? "above" : "below", t.lufs, t.toleranceLu);
    if (m.truePeakDbtp > t.ceilingDbtp)
        c.reason += printed("%strue peak %.2f dBTP is over the ceiling %g dBTP", c.reason.empty() ? "" : "; ",
                            m.truePeakDbtp, t.ceilingDbtp);
    c.pass = c.reason.empty();
    return c;
}

Json targetJson(const DeliveryTarget& t)
{
    return {{"name", t.name}, {"integrated_lufs", t.lufs}, {"true_peak_dbtp", t.ceilingDbtp}, {"tolerance_lu", t.toleranceLu}};
}

Json complianceJson(const Compliance& c)
{
    Json j = {{"status", c.pass ? "pass" : "fail"}};
    if (!c.pass) j["reason"] = c.reason;
    return j;
}

}  // namespace plumbra::host
