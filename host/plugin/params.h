// Parameters as the host sees them, in each control's own unit.
//
// The plug-in exposes normalised values 0..1 plus a name, a unit label and a
// display text. The host learns each control's range from the plug-in itself:
// on a second, scratch instance of the effect it writes 0 and 1 and reads the
// display texts back (a switch shows "OFF" and "ON"; a slider shows its minimum
// and maximum, with as many decimals as the control displays). The instance
// that processes audio is never touched by this, so its parameters keep their
// exact values (writing back a normalised value read from a parameter need not
// restore the control's value to the last bit). Sliders map normalised
// f linearly to min + (max - min) * f in single precision, so a value in the
// control's unit is set by inverting that mapping and nudging f by single
// ulps until the plug-in's own arithmetic lands exactly on the value.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/common/control_text.h"
#include "host/common/status.h"
#include "host/plugin/plugin_host.h"

namespace plumbra::host {

struct ParamInfo {
    int index = 0;
    std::string name;  // effGetParamName
    std::string unit;  // effGetParamLabel
    bool isSwitch = false;
    bool isNormalised = false;  // display not understood: the value is the normalised one
    double min = 0.0;
    double max = 1.0;
    int precision = 0;  // decimals the plug-in displays
    float defaultNormalised = 0.0f;

    float plainOf(float normalised) const;   // the plug-in's own mapping, in single precision
    float normalisedOf(double plain) const;  // inverse, exact where single precision allows
    std::string format(double plain) const;  // the value with the control's precision
    std::string rangeText() const;
};

// One parameter assignment: index and normalised value, with where it came from.
struct Assignment {
    int index = 0;
    float normalised = 0.0f;
};

class ParamTable {
public:
    // Reads names, units, ranges and defaults from a scratch instance of the plug-in.
    static Result<ParamTable> discover(const Plugin& plugin);

    const std::vector<ParamInfo>& params() const { return params_; }
    // The assignment of a checked control setting (host/common/control_text.h).
    Result<Assignment> assignment(const ControlSetting& setting) const;

    // Sets the assignments in order. A parameter that already holds the normalised value
    // is not written: its control keeps its exact value (not every value in a control's
    // unit is reachable through the normalised mapping, a plug-in's default included).
    static void apply(Plugin& plugin, const std::vector<Assignment>& assignments);

    // Current value of parameter i in its own unit, formatted so that it reads back to the same value.
    std::string currentText(Plugin& plugin, int index) const;
    // The whole current state in preset form.
    std::string presetText(Plugin& plugin) const;

private:
    std::vector<ParamInfo> params_;
};

}  // namespace plumbra::host
