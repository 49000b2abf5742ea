// Discovering the plug-in's parameter ranges and converting values in the
// controls' own units to and from the normalised host values.
#include "host/plugin/params.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "dsp/control_table.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace {

int decimalsOf(const std::string& display)
{
    auto dot = display.find('.');
    if (dot == std::string::npos) return 0;
    int n = 0;
    for (size_t i = dot + 1; i < display.size() && std::isdigit(static_cast<unsigned char>(display[i])); ++i) ++n;
    return n;
}

}  // namespace

float ParamInfo::plainOf(float f) const
{
    if (isSwitch) return f > 0.5f ? 1.0f : 0.0f;
    if (isNormalised) return f;
    const float lo = static_cast<float>(min), hi = static_cast<float>(max);
    return lo + (hi - lo) * f;
}

float ParamInfo::normalisedOf(double plain) const
{
    if (isSwitch) return plain > 0.5 ? 1.0f : 0.0f;
    if (isNormalised) return static_cast<float>(plain);
    if (max == min) return 0.0f;
    const float f = std::clamp(static_cast<float>((plain - min) / (max - min)), 0.0f, 1.0f);
    // Prefer a neighbouring f on which the plug-in's arithmetic lands exactly on the value;
    // where none does, f is what the plug-in itself answers for that value.
    const float target = static_cast<float>(plain);
    float up = f, down = f;
    for (int step = 0; step < 8; ++step) {
        if (plainOf(up) == target) return up;
        if (plainOf(down) == target) return down;
        up = std::min(1.0f, std::nextafter(up, 2.0f));
        down = std::max(0.0f, std::nextafter(down, -1.0f));
    }
    return f;
}

std::string ParamInfo::format(double plain) const
{
    if (isSwitch) return plain > 0.5 ? "on" : "off";
    return printed("%.*f", precision, plain);
}

std::string ParamInfo::rangeText() const
{
    if (isSwitch) return "off or on";
    return format(min) + " to " + format(max);
}

Result<ParamTable> ParamTable::discover(const Plugin& processing)
{
    auto scratch = Plugin::load(processing.path());
    if (!scratch.ok()) return scratch.status();
    Plugin& plugin = *scratch.value();
    ParamTable table;
    const int n = plugin.numParams();
    for (int i = 0; i < n; ++i) {
        ParamInfo p;
        p.index = i;
        p.name = plugin.paramName(i);
        p.unit = plugin.paramLabel(i);
        p.defaultNormalised = plugin.getParameter(i);

        plugin.setParameter(i, 0.0f);
        const std::string lo = plugin.paramDisplay(i);
        plugin.setParameter(i, 1.0f);
        const std::string hi = plugin.paramDisplay(i);

        double a = 0.0, b = 0.0;
        if (lower(trim(lo)) == "off" && lower(trim(hi)) == "on") {
            p.isSwitch = true;
            p.max = 1.0;
        } else if (parseNumber(lo, a) && parseNumber(hi, b) && b > a) {
            p.min = a;
            p.max = b;
            p.precision = std::max(decimalsOf(lo), decimalsOf(hi));
        } else {
            p.isNormalised = true;
            p.precision = 6;
        }
        table.params_.push_back(p);
    }
    return table;
}

Result<Assignment> ParamTable::assignment(const ControlSetting& s) const
{
    // The plug-in's parameters are the control table's, in its order.
    const char* label = kControlSpecs[s.index].label;
    if (s.index >= static_cast<int>(params_.size()) || params_[static_cast<size_t>(s.index)].name != label)
        return Status::fail(kExitParameter, std::string("the plug-in has no parameter \"") + label + "\" at index " +
                                                std::to_string(s.index));
    return Assignment{s.index, params_[static_cast<size_t>(s.index)].normalisedOf(s.value)};
}

void ParamTable::apply(Plugin& plugin, const std::vector<Assignment>& assignments)
{
    for (const auto& a : assignments)
        if (plugin.getParameter(a.index) != a.normalised) plugin.setParameter(a.index, a.normalised);
}

std::string ParamTable::currentText(Plugin& plugin, int index) const
{
    const ParamInfo& p = params_[static_cast<size_t>(index)];
    const float f = plugin.getParameter(index);
    if (p.isSwitch) return p.format(f);
    const float plain = p.plainOf(f);
    // The displayed precision is enough when it reads back to the same normalised value.
    std::string text = p.format(plain);
    double back = 0;
    if (parseNumber(text, back) && p.normalisedOf(back) == f) return text;
    return shortestText(plain);
}

std::string ParamTable::presetText(Plugin& plugin) const
{
    std::string out = "# " + plugin.effectName() + " preset: one NAME=VALUE per line, in the controls' own units\n";
    for (const auto& p : params_) out += p.name + "=" + currentText(plugin, p.index) + "\n";
    return out;
}

}  // namespace plumbra::host
