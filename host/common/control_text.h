// Control values as text: the one reader of control names, NAME=VALUE
// assignments and preset files, used by every command, the web API and the
// Python module, so that all of them take the same names and values with the
// same rules and answer with the same messages.
//
// A control is named by its label, as hosts show it ("Lowpass Filter"; exact,
// else ignoring case), by its symbol ("lowpass_filter") or by its index in host
// parameter order (0 to 18). A value is a number in the control's own unit,
// within its range; a switch takes on/off, yes/no, true/false or 1/0. A preset
// is a text of one NAME=VALUE per line; '#' starts a comment, blank lines are
// passed over.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/common/status.h"

namespace plumbra::host {

// The control's index in the control table, or -1 when the name is none of them.
int findControl(std::string_view name);

// A control and a value for it, in its unit and within its range.
struct ControlSetting {
    int index;
    float value;
};

// "NAME=VALUE" (the last '=' divides), or name and value apart. Errors (exit
// code kExitParameter) name the control and, for a value out of range, the
// range with its unit.
Result<ControlSetting> parseSetting(std::string_view assignment);
Result<ControlSetting> parseSetting(std::string_view name, std::string_view value);

// `value` for control `index` (a table index) when it is within its range (0
// or 1 for a switch); the reason otherwise.
Result<float> checkSetting(int index, double value);

// Every assignment of a preset, in order. An error gives the line: "line N: ..."
// or, with a `source` (the file's name), "SOURCE:N: ...".
Result<std::vector<ControlSetting>> parsePresetText(std::string_view text, std::string_view source = {});
// The preset in the file at `path`; errors give the path and line, and a file
// that cannot be read is one.
Result<std::vector<ControlSetting>> readPresetFile(const std::string& path);

// The settings of preset files, in order, then of NAME=VALUE texts given with
// --set, every one checked before any is used.
Result<std::vector<ControlSetting>> collectSettings(const std::vector<std::string>& presetFiles,
                                                    const std::vector<std::string>& sets);

// A value as a preset writes it: "on" or "off" for a switch, else the shortest
// decimal that reads back as the value.
std::string controlValueText(int index, float value);
// A value as a report shows it: "on" or "off" for a switch, else with the
// decimals of the control's step where that reads back as the value ("0.7",
// "-6.0"), with every digit needed where it does not.
std::string controlDisplayText(int index, float value);
// The unit's symbol ("dB", "Hz", "x"), empty for a control without one.
const char* controlUnitText(int index);
// "1000 to 15000 Hz", "-6.0 to 6.0 dB", "off or on".
std::string controlRangeText(int index);

}  // namespace plumbra::host
