// Control names, values and presets as text, against the control table.
#include "host/common/control_text.h"

#include <cctype>
#include <cmath>
#include <fstream>

#include "dsp/control_table.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A whole number written as one (" 5 ", "5.0"), or -1.
double indexNumber(const std::string& key)
{
    double x = 0;
    return parseNumber(key, x) && x == std::floor(x) ? x : -1;
}

// Decimals of a control's step: 1 -> 0, 0.1 -> 1.
int decimalsOfStep(float step)
{
    int d = 0;
    for (double s = step; d < 6 && s > 0 && std::fabs(s - std::round(s)) > 1e-6; s *= 10) ++d;
    return d;
}

std::string what(int index)
{
    return std::string("parameter \"") + kControlSpecs[index].label + "\"";
}

Status outOfRange(int index, const std::string& value)
{
    return Status::fail(kExitParameter,
                        what(index) + " value " + value + " is out of range " + controlRangeText(index));
}

}  // namespace

int findControl(std::string_view name)
{
    const std::string key = trim(std::string(name));
    for (int i = 0; i < kNumControls; ++i)
        if (key == kControlSpecs[i].label) return i;
    for (int i = 0; i < kNumControls; ++i)
        if (sameIgnoringCase(key, kControlSpecs[i].label) || sameIgnoringCase(key, kControlSpecs[i].symbol)) return i;
    const double index = indexNumber(key);
    return index >= 0 && index < kNumControls ? static_cast<int>(index) : -1;
}

Result<float> checkSetting(int index, double x)
{
    const ControlSpec& c = kControlSpecs[index];
    if (c.toggle) {
        if (x == 0.0 || x == 1.0) return static_cast<float>(x);
        return Status::fail(kExitParameter,
                            what(index) + " is a switch: " + shortestText(static_cast<float>(x)) + " is not on or off");
    }
    if (!(x >= static_cast<double>(c.min) && x <= static_cast<double>(c.max)))
        return outOfRange(index, shortestText(static_cast<float>(x)));
    return static_cast<float>(x);
}

Result<ControlSetting> parseSetting(std::string_view assignment)
{
    const std::size_t eq = assignment.rfind('=');
    if (eq == std::string_view::npos)
        return Status::fail(kExitParameter, "expected NAME=VALUE, got \"" + std::string(assignment) + "\"");
    return parseSetting(assignment.substr(0, eq), assignment.substr(eq + 1));
}

Result<ControlSetting> parseSetting(std::string_view name, std::string_view valueText)
{
    const int i = findControl(name);
    if (i < 0) {
        const std::string key = trim(std::string(name));
        if (indexNumber(key) >= 0)
            return Status::fail(kExitParameter,
                                "parameter index " + key + " is out of range 0 to " + std::to_string(kNumControls - 1));
        return Status::fail(kExitParameter, "unknown parameter \"" + key + "\" (plumbra params lists them)");
    }
    const std::string given = trim(std::string(valueText)), v = lower(given);
    double x = 0;
    if (kControlSpecs[i].toggle) {
        if (v == "on" || v == "yes" || v == "true") return ControlSetting{i, 1.0f};
        if (v == "off" || v == "no" || v == "false") return ControlSetting{i, 0.0f};
        if (!parseNumber(v, x) || (x != 0.0 && x != 1.0))
            return Status::fail(kExitParameter, what(i) + " is a switch: \"" + given + "\" is not on or off");
    } else if (!parseNumber(v, x)) {
        return Status::fail(kExitParameter, what(i) + ": \"" + given + "\" is not a number");
    }
    auto value = checkSetting(i, x);
    if (!value.ok()) return outOfRange(i, given);  // the value as it was written
    return ControlSetting{i, value.value()};
}

Result<std::vector<ControlSetting>> parsePresetText(std::string_view text, std::string_view source)
{
    std::vector<ControlSetting> settings;
    int number = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        line = line.substr(0, line.find('#'));
        if (trim(std::string(line)).empty()) continue;
        auto s = parseSetting(line);
        if (!s.ok()) {
            const std::string where =
                source.empty() ? "line " + std::to_string(number) : std::string(source) + ":" + std::to_string(number);
            return Status::fail(kExitParameter, where + ": " + s.status().reason);
        }
        settings.push_back(s.value());
    }
    return settings;
}

Result<std::vector<ControlSetting>> readPresetFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char buf[4096];
    while (in && (in.read(buf, sizeof buf) || in.gcount() > 0)) text.append(buf, static_cast<std::size_t>(in.gcount()));
    // A folder opens but fails to read, as does a file on a failing disk.
    if (in.bad() || !in.eof()) return Status::fail(kExitParameter, "cannot read preset " + path);
    return parsePresetText(text, path);
}

Result<std::vector<ControlSetting>> collectSettings(const std::vector<std::string>& presets,
                                                    const std::vector<std::string>& sets)
{
    std::vector<ControlSetting> settings;
    for (const auto& preset : presets) {
        auto p = readPresetFile(preset);
        if (!p.ok()) return p.status();
        settings.insert(settings.end(), p->begin(), p->end());
    }
    for (const auto& s : sets) {
        auto a = parseSetting(s);
        if (!a.ok()) return Status::fail(a.status().code, "--set " + s + ": " + a.status().reason);
        settings.push_back(a.value());
    }
    return settings;
}

std::string controlValueText(int index, float value)
{
    if (kControlSpecs[index].toggle) return value > 0.5f ? "on" : "off";
    return shortestText(value);
}

std::string controlDisplayText(int index, float value)
{
    if (kControlSpecs[index].toggle) return controlValueText(index, value);
    const std::string fixed = printed("%.*f", decimalsOfStep(kControlSpecs[index].step), double(value));
    return static_cast<float>(std::strtod(fixed.c_str(), nullptr)) == value ? fixed : shortestText(value);
}

const char* controlUnitText(int index)
{
    switch (kControlSpecs[index].unit) {
    case ControlUnit::kDecibel: return "dB";
    case ControlUnit::kHertz: return "Hz";
    case ControlUnit::kFactor: return "x";
    case ControlUnit::kNone: break;
    }
    return "";
}

std::string controlRangeText(int index)
{
    const ControlSpec& c = kControlSpecs[index];
    if (c.toggle) return "off or on";
    const int d = decimalsOfStep(c.step);
    const std::string unit = controlUnitText(index);
    return printed("%.*f to %.*f", d, double(c.min), d, double(c.max)) + (unit.empty() ? "" : " " + unit);
}

}  // namespace plumbra::host
